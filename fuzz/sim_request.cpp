// The simulated PLC's request path on arbitrary bytes, cut into frames by its RequestAssembler the
// way its server does. Every request gets one reply that the discovery probe's strict check accepts
// (frame, hex digits, check digits, command code), and a request that is refused changes nothing
// in memory.
//
// Input: one byte of piece size, then the byte stream a client sends.

#include "camp_discovery.h"
#include "camp_handler.h"
#include "camp_nitp.h"
#include "fuzz_support.h"
#include "plc_memory.h"
#include "request_assembler.h"

namespace {

constexpr quint32 kWords = 300; // every class, so a whole memory compare stays cheap

camp_sim::PlcMemory smallMemory()
{
    QMap<int, quint32> sizes;
    for (const camp_sim::AddressClassInfo& info : camp_sim::addressClasses()) {
        sizes.insert(info.code, kWords);
    }
    return camp_sim::PlcMemory(sizes);
}

std::vector<quint16> snapshot(const camp_sim::PlcMemory& memory)
{
    std::vector<quint16> words;
    for (const camp_sim::AddressClassInfo& info : camp_sim::addressClasses()) {
        for (quint32 address = 1; address <= kWords; ++address) {
            words.push_back(memory.word(info.code, address));
        }
    }
    return words;
}

// Answers one request; `expected` is the memory as the requests so far should have left it.
void answer(const std::string& frame, camp_sim::PlcMemory& memory, std::vector<quint16>& expected)
{
    std::string reply;
    const camp_sim::HandleResult result =
        camp_sim::handleRequest(frame.data(), frame.size(), memory, camp_sim::ReplyFaults(), reply);
    const QByteArray replyBytes(reply.data(), static_cast<int>(reply.size()));

    FUZZ_CHECK(CampDiscovery::parseCampReply(replyBytes, nullptr));
    FUZZ_CHECK(CampDiscovery::firstCampFrame(replyBytes) == replyBytes);
    const bool errorReply = CAMP_NITP::checkForError(replyBytes, nullptr);
    FUZZ_CHECK(errorReply == (result.error != camp_sim::ErrorCode::None));
    if (errorReply) {
        FUZZ_CHECK(replyBytes.size() == 36);
    }
    const std::vector<quint16> now = snapshot(memory);
    if (!result.wroteMemory) {
        FUZZ_CHECK(now == expected);
    }
    expected = now;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const int piece = 1 + input.byte();
    const QByteArray stream = input.rest();

    camp_sim::PlcMemory memory = smallMemory();
    std::vector<quint16> expected = snapshot(memory);
    camp_sim::RequestAssembler assembler;
    std::string frame;
    int answered = 0;
    // A few dozen requests per input say as much as thousands and keep the runs fast.
    constexpr int kMostRequests = 64;
    for (int at = 0; at < stream.size() && answered < kMostRequests; at += piece) {
        const QByteArray bytes = stream.mid(at, piece);
        assembler.append(bytes.constData(), static_cast<size_t>(bytes.size()));
        while (answered < kMostRequests && assembler.next(frame)) {
            FUZZ_CHECK(frame.size() <= camp_sim::kMaxRequestSize + 1);
            answer(frame, memory, expected);
            ++answered;
        }
        // The assembler never holds on to more than one overlong request.
        FUZZ_CHECK(assembler.pendingBytes() <= camp_sim::kMaxRequestSize + 256);
    }
    return 0;
}
