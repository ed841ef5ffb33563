// The driver's reply path on arbitrary bytes: parseReadResponse, checkForError and errorReplyCodes
// must never read outside the reply, and what they hand out must be cut from the reply itself and
// be hex digits only.
// Then a round trip through the simulated PLC's own parser: words the driver writes with its
// encoder come back unchanged through its read request and reply parser.
//
// Input: one byte for the requested word count (1 to 256), then the reply frame.

#include "camp_handler.h"
#include "camp_nitp.h"
#include "fuzz_support.h"

namespace {

constexpr quint32 kWords = 600; // words per class in the simulated memory

void checkReplyParsing(quint16 count, const QByteArray& reply)
{
    ItemInstancePlugin item;
    Words words;
    const bool parsed = CAMP_NITP::parseReadResponse(reply, count, words, &item);

    camp_wire::ErrorCodes codes;
    const bool errorReply = camp_wire::errorReplyCodes(reply, codes);
    FUZZ_CHECK(errorReply == CAMP_NITP::checkForError(reply, nullptr));
    FUZZ_CHECK(codes.code.size() <= 4 && codes.extendedCode.size() <= 4);

    if (parsed) {
        FUZZ_CHECK(!errorReply);
        FUZZ_CHECK(item.errorText.isEmpty());
        FUZZ_CHECK(!words.empty() && words.size() <= count);
        for (size_t i = 0; i < words.size(); ++i) {
            bool hex = false;
            const uint word = reply.mid(15 + 4 * static_cast<int>(i), 4).toUInt(&hex, 16);
            FUZZ_CHECK(hex && words[i] == word); // a word with a bad digit is never handed out
        }
    } else {
        FUZZ_CHECK(words.empty());
    }
    // Only an error reply that is long enough to have been looked at names its codes.
    if (errorReply && reply.size() >= 15) {
        FUZZ_CHECK(item.errorText.startsWith(QStringLiteral("Error code: ")));
    }
}

// Writes `values` to the simulated PLC with the driver's write frame, reads them back with its
// read frame, and parses the reply with the driver's parser.
void checkRoundTrip(fuzz::Input& input)
{
    const std::vector<camp_sim::AddressClassInfo>& classes = camp_sim::addressClasses();
    // The status words are the PLC's own: a write to them is refused.
    static const std::vector<int> writable = [&classes] {
        std::vector<int> codes;
        for (const camp_sim::AddressClassInfo& info : classes) {
            if (info.code != camp_sim::addressClassFromLabel(QStringLiteral("STW"))) {
                codes.push_back(info.code);
            }
        }
        return codes;
    }();
    const int cls = writable[input.byte() % writable.size()];
    // One small memory for all runs: every run writes the words before it reads them back.
    static camp_sim::PlcMemory memory = [&classes] {
        QMap<int, quint32> sizes;
        for (const camp_sim::AddressClassInfo& info : classes) {
            sizes.insert(info.code, kWords);
        }
        return camp_sim::PlcMemory(sizes);
    }();

    const quint16 count = static_cast<quint16>(1 + input.byte() % camp_wire::kMaxWriteWords);
    const quint32 address = 1 + input.u16() % (kWords - count + 1);
    Words values;
    for (quint16 i = 0; i < count; ++i) {
        values.push_back(input.u16());
    }

    const QByteArray writeReply =
        camp_sim::handleRequest(camp_wire::writeRequest(cls, address, values), memory);
    FUZZ_CHECK(camp_wire::scanFrame(writeReply).status == camp_wire::FrameStatus::Frame);
    FUZZ_CHECK(!CAMP_NITP::checkForError(writeReply, nullptr));

    const QByteArray readReply =
        camp_sim::handleRequest(camp_wire::readRequest(cls, address, count), memory);
    Words words;
    ItemInstancePlugin item;
    FUZZ_CHECK(camp_wire::isReadReply(readReply));
    FUZZ_CHECK(camp_wire::echoesRequest(readReply, cls, address));
    FUZZ_CHECK(CAMP_NITP::parseReadResponse(readReply, count, words, &item));
    FUZZ_CHECK(words == values);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const quint16 count = static_cast<quint16>(1 + input.byte());
    const QByteArray reply = input.rest();
    checkReplyParsing(count, reply);

    fuzz::Input again(data, size);
    checkRoundTrip(again);
    return 0;
}
