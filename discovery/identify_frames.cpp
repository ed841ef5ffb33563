// The identify requests and the strict checks of their replies, over camp_wire's frames, block
// check and reply fields. A scan talks to whatever answers on a port, so a reply counts only when
// its frame, hex digits, BCC and command code all hold.

#include "camp_discovery.h"

#include "camp_wire.h"

namespace CampDiscovery {

namespace {

bool isHexAscii(const QByteArray& data)
{
    for (const char c : data) {
        if (camp_wire::hexDigitValue(c) < 0) {
            return false;
        }
    }
    return true;
}

// Replies to NITP commands carry the codes 04 to 09; anything else is not ours.
bool isCampCommand(const QByteArray& code)
{
    return code.size() == 2 && code[0] == '0' && code[1] >= '4' && code[1] <= '9';
}

// The first frame in data when it passes every check, or an empty one. The BCC is the driver's
// reading of it; beyond that, whatever answered on a port must write nothing but hex digits
// between the brackets and a command code of ours.
QByteArray checkedFrame(const QByteArray& data)
{
    const QByteArray frame = firstCampFrame(data);
    if (!camp_wire::hasGoodBcc(frame) || !isHexAscii(frame.mid(1, frame.size() - 2)) ||
        !isCampCommand(frame.mid(camp_wire::kReplyCommandPos, 2))) {
        return QByteArray();
    }
    return frame;
}

bool isErrorReply(const QByteArray& frame)
{
    camp_wire::ErrorCodes ignored;
    return camp_wire::errorReplyCodes(frame, ignored);
}

// The words of a checked read reply, at most `limit` of them, as upper-case texts.
QStringList readWordTexts(const QByteArray& frame, quint16 limit)
{
    camp_wire::Words words;
    if (!camp_wire::isReadReply(frame) || !camp_wire::readReplyWords(frame, limit, words)) {
        return QStringList();
    }
    QStringList texts;
    for (const quint16 word : words) {
        texts.append(QString::fromLatin1(camp_wire::hex(word, 4)));
    }
    return texts;
}

} // namespace

QByteArray hexAscii(quint32 value, int width)
{
    // Wider values lose their high digits: every field keeps its width on the wire.
    return camp_wire::hex(value, width).right(qMax(width, 0));
}

QByteArray campBcc(const QByteArray& data)
{
    return camp_wire::hex(camp_wire::byteSum(data.constData(), data.constData() + data.size()), 4);
}

QByteArray readDataRequest(quint8 addressClass, quint32 address, quint16 count)
{
    return camp_wire::readRequest(addressClass, address & 0xFFFFFFu, count);
}

QByteArray vMemoryIdentifyRequest()
{
    return readDataRequest(kAddressClassV, kIdentifyVAddress, 1);
}

QByteArray stwIdentityRequest()
{
    return readDataRequest(kAddressClassStw, kStwSerial, kStwIdentityWordCount);
}

QByteArray firstCampFrame(const QByteArray& data)
{
    return camp_wire::scanFrame(data).frame;
}

bool parseCampReply(const QByteArray& data, IdentifyResult* result)
{
    const QByteArray frame = checkedFrame(data);
    if (frame.isEmpty()) {
        return false;
    }
    IdentifyResult fresh;
    fresh.campReply = true;
    fresh.protocolError = isErrorReply(frame);
    if (!fresh.protocolError) {
        fresh.v0Word = readWordTexts(frame, 1).value(0);
    }
    if (result) {
        *result = fresh;
    }
    return true;
}

QStringList parseCampReadWords(const QByteArray& data, bool* errorReply)
{
    const QByteArray frame = checkedFrame(data);
    const bool refused = !frame.isEmpty() && isErrorReply(frame);
    if (errorReply) {
        *errorReply = refused;
    }
    if (frame.isEmpty() || refused) {
        return QStringList();
    }
    return readWordTexts(frame, camp_wire::kMaxReadWords);
}

QMap<QString, QString> identityFromStwWords(const QStringList& words)
{
    if (words.size() < 3) {
        return {};
    }
    quint32 values[3] = {0, 0, 0}; // a word that is not four hex digits counts as 0
    for (int i = 0; i < 3; ++i) {
        const QByteArray word = words[i].toLatin1();
        if (word.size() != 4 || !camp_wire::decodeHex(word.constData(), 4, values[i])) {
            values[i] = 0;
        }
    }
    return identityFromStwValues(static_cast<quint16>(values[0]), static_cast<quint16>(values[1]),
                                 static_cast<quint16>(values[2]));
}

QMap<QString, QString> identityFromStwValues(quint16 serial, quint16 firmwareMajor,
                                             quint16 firmwareMinor)
{
    QMap<QString, QString> identity;
    if (serial != 0) {
        identity.insert(QStringLiteral("serial"), QString::number(serial));
    }
    if (firmwareMajor != 0 || firmwareMinor != 0) {
        identity.insert(QStringLiteral("firmware"),
                        QStringLiteral("%1.%2").arg(firmwareMajor).arg(firmwareMinor));
    }
    return identity;
}

} // namespace CampDiscovery
