// The discovery probe's reply path on arbitrary bytes: whatever answers on a scanned port is fed to
// firstCampFrame, parseCampReply, parseCampReadWords and identityFromStwWords. They must stay
// inside the bytes, accept only frames whose check digits hold, and hand out upper-case words.
// The identify requests the probe sends must be the driver's read frames, byte for byte, and pass
// the probe's own strict check.
//
// Input: the reply bytes; the first bytes also pick a request to build.

#include "camp_discovery.h"
#include "camp_nitp.h"
#include "camp_wire.h"
#include "fuzz_support.h"

using namespace CampDiscovery;

namespace {

void checkFirstFrame(const QByteArray& data)
{
    const QByteArray frame = firstCampFrame(data);
    if (frame.isEmpty()) {
        return;
    }
    FUZZ_CHECK(frame.startsWith('[') && frame.endsWith(']') && frame.size() >= 2);
    FUZZ_CHECK(frame.indexOf(']') == frame.size() - 1);
    FUZZ_CHECK(data.contains(frame));
}

void checkReply(const QByteArray& data)
{
    IdentifyResult result;
    result.serial = QStringLiteral("untouched");
    const bool valid = parseCampReply(data, &result);
    if (!valid) {
        FUZZ_CHECK(result.serial == QStringLiteral("untouched")); // left as it was
    } else {
        FUZZ_CHECK(result.campReply);
        FUZZ_CHECK(result.serial.isEmpty() && result.firmware.isEmpty());
        FUZZ_CHECK(result.v0Word.isEmpty() ||
                   (result.v0Word.size() == 4 && fuzz::isUpperHex(result.v0Word.toLatin1())));
        // The frame's check digits hold by the driver's reading of them.
        FUZZ_CHECK(camp_wire::hasGoodBcc(firstCampFrame(data)));
    }

    bool errorReply = true;
    const QStringList words = parseCampReadWords(data, &errorReply);
    if (errorReply) {
        FUZZ_CHECK(valid && result.protocolError && words.isEmpty());
    }
    if (!words.isEmpty()) {
        FUZZ_CHECK(valid && !result.protocolError);
        FUZZ_CHECK(words.size() <= 256);
        for (const QString& word : words) {
            FUZZ_CHECK(word.size() == 4 && fuzz::isUpperHex(word.toLatin1()));
        }
    }

    const QMap<QString, QString> identity = identityFromStwWords(words);
    if (identity.contains(QStringLiteral("serial"))) {
        bool ok = false;
        const uint serial = identity.value(QStringLiteral("serial")).toUInt(&ok);
        FUZZ_CHECK(ok && serial >= 1 && serial <= 0xFFFF);
    }
    if (identity.contains(QStringLiteral("firmware"))) {
        FUZZ_CHECK(identity.value(QStringLiteral("firmware")).count(QLatin1Char('.')) == 1);
    }
}

// Every read request the probe can build is a frame its own strict checks accept.
void checkRequests(fuzz::Input& input)
{
    const quint8 cls = input.byte();
    const quint32 address = input.u32() % (kMaxWordAddress + 1);
    const quint16 count = static_cast<quint16>(1 + input.u16() % camp_wire::kMaxReadWords);
    const QByteArray request = readDataRequest(cls, address, count);
    FUZZ_CHECK(request.size() == 24);
    FUZZ_CHECK(parseCampReply(request, nullptr));
    FUZZ_CHECK(campBcc(request.mid(1, 18)) == request.mid(19, 4));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));
    checkFirstFrame(bytes);
    checkReply(bytes);
    fuzz::Input input(data, size);
    checkRequests(input);
    return 0;
}
