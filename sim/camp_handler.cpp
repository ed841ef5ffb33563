#include "camp_handler.h"

namespace camp_sim {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

// Frame layouts, positions from 0 at "[".
//
// Read request (24 characters):      Write request (20 + 4N characters):
//   0  1  "["                          0  1  "["
//   1  2  "04"                         1  2  "06"
//   3  2  "00"                         3  2  "00"
//   5  2  address class                5  2  address class
//   7  6  start address                7  6  start address
//  13  2  "01"                        13  2  word count N (1 to 255)
//  15  4  word count (1 to 256)       15 4N  the words
//  19  4  BCC                      15+4N  4  BCC
//  23  1  "]"                      19+4N  1  "]"
//
// The BCC is the sum of the bytes after "[" up to the BCC, low 16 bits, as four hex digits.
constexpr size_t kCommandPos = 1;
constexpr size_t kSubcommandPos = 3;
constexpr size_t kClassPos = 5;
constexpr size_t kAddressPos = 7;
constexpr size_t kReadFormatPos = 13;
constexpr size_t kReadCountPos = 15;
constexpr size_t kWriteCountPos = 13;
constexpr size_t kWriteDataPos = 15;
constexpr size_t kReadRequestSize = 24;
constexpr size_t kShortestWriteWithCount = 20; // "[", 14 characters up to the count, BCC, "]"
constexpr quint32 kMaxReadWords = 256;

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1; // lower case counts as invalid: the module's peers always send upper case
}

// Reads `width` hex digits that the caller has already found valid.
quint32 readHex(const char* text, int width)
{
    quint32 value = 0;
    for (int i = 0; i < width; ++i) {
        value = (value << 4) | static_cast<quint32>(hexValue(text[i]));
    }
    return value;
}

bool isHexField(const char* text, size_t size, size_t pos, int width)
{
    if (pos + static_cast<size_t>(width) > size) {
        return false;
    }
    for (int i = 0; i < width; ++i) {
        if (hexValue(text[pos + static_cast<size_t>(i)]) < 0) {
            return false;
        }
    }
    return true;
}

void appendHex(std::string& out, quint32 value, int width)
{
    for (int shift = (width - 1) * 4; shift >= 0; shift -= 4) {
        out.push_back(kHexDigits[(value >> shift) & 0xF]);
    }
}

quint32 byteSum(const char* text, size_t size)
{
    quint32 sum = 0;
    for (size_t i = 0; i < size; ++i) {
        sum += static_cast<unsigned char>(text[i]);
    }
    return sum;
}

// Closes the frame that starts at `frameStart` in `out`: BCC over everything after its "[".
void appendBccAndEnd(std::string& out, size_t frameStart)
{
    const quint32 sum = byteSum(out.data() + frameStart + 1, out.size() - frameStart - 1);
    appendHex(out, sum & 0xFFFF, 4);
    out.push_back(']');
}

struct ParsedRequest
{
    ErrorCode error = ErrorCode::None;
    quint16 extendedCode = 0;
    bool isWrite = false;
    int addressClass = 0;
    quint32 address = 0;
    quint32 count = 0;
};

ParsedRequest failed(ErrorCode error, quint16 extendedCode = 0)
{
    ParsedRequest request;
    request.error = error;
    request.extendedCode = extendedCode;
    return request;
}

bool matches(const char* frame, size_t pos, const char* text)
{
    return frame[pos] == text[0] && frame[pos + 1] == text[1];
}

bool touchesErrorAddress(const ReplyFaults& faults, int addressClass, quint32 first, quint32 count)
{
    for (const QPair<int, quint32>& target : faults.errorAddresses) {
        if (target.first == addressClass && target.second >= first &&
            quint64(target.second) < quint64(first) + count) {
            return true;
        }
    }
    return false;
}

// The checks run in the order the module applies them: framing, characters, length, BCC, then
// the fields.
ParsedRequest parseRequest(const char* frame, size_t size, const PlcMemory& memory,
                           const ReplyFaults& faults)
{
    if (size < 2 || frame[0] != '[' || frame[size - 1] != ']') {
        return failed(ErrorCode::BadDelimiter);
    }
    for (size_t i = 1; i + 1 < size; ++i) {
        if (frame[i] == '[' || frame[i] == ']') {
            return failed(ErrorCode::BadDelimiter, static_cast<quint16>(i));
        }
    }
    for (size_t i = 1; i + 1 < size; ++i) {
        if (hexValue(frame[i]) < 0) {
            return failed(ErrorCode::InvalidDataCharacter, static_cast<quint16>(i));
        }
    }
    const size_t innerSize = size - 2;
    if (innerSize % 2 != 0 || innerSize < 8) {
        return failed(ErrorCode::OddCharacterCount);
    }

    const size_t bccPos = size - 5;
    const quint32 expectedBcc = byteSum(frame + 1, bccPos - 1) & 0xFFFF;
    if (readHex(frame + bccPos, 4) != expectedBcc) {
        return failed(ErrorCode::BadBcc, static_cast<quint16>(expectedBcc));
    }

    ParsedRequest request;
    if (matches(frame, kCommandPos, "06")) {
        request.isWrite = true;
    } else if (!matches(frame, kCommandPos, "04")) {
        return failed(ErrorCode::UnknownCommand);
    }
    if (!matches(frame, kSubcommandPos, "00")) {
        return failed(ErrorCode::UnknownCommand);
    }

    if (request.isWrite) {
        if (size < kShortestWriteWithCount) {
            return failed(ErrorCode::OddCharacterCount);
        }
        request.count = readHex(frame + kWriteCountPos, 2);
        if (request.count == 0) {
            return failed(ErrorCode::WordCountZero);
        }
        if (size != kWriteDataPos + 4 * request.count + 5) {
            return failed(ErrorCode::OddCharacterCount);
        }
    } else if (size != kReadRequestSize) {
        return failed(ErrorCode::OddCharacterCount);
    }

    request.addressClass = static_cast<int>(readHex(frame + kClassPos, 2));
    if (!isKnownAddressClass(request.addressClass)) {
        return failed(ErrorCode::InvalidAddressClass);
    }
    if (request.isWrite && request.addressClass == addressClassFromLabel(QStringLiteral("STW"))) {
        return failed(ErrorCode::ReadOnlyClass);
    }

    if (!request.isWrite) {
        if (!matches(frame, kReadFormatPos, "01")) {
            return failed(ErrorCode::UnknownCommand);
        }
        request.count = readHex(frame + kReadCountPos, 4);
        if (request.count == 0) {
            return failed(ErrorCode::WordCountZero);
        }
        if (request.count > kMaxReadWords) {
            return failed(ErrorCode::WordCountTooLarge);
        }
        if (faults.maxReadWords > 0 && request.count > faults.maxReadWords) {
            return failed(ErrorCode::WordCountTooLarge, static_cast<quint16>(faults.maxReadWords));
        }
    }

    request.address = readHex(frame + kAddressPos, 6);
    if (!memory.contains(request.addressClass, request.address, request.count)) {
        return failed(ErrorCode::AddressOutOfRange);
    }
    if (touchesErrorAddress(faults, request.addressClass, request.address, request.count)) {
        return failed(ErrorCode::InjectedError);
    }
    return request;
}

// Error reply (36 characters):
//   0  1  "["
//   1  2  reply code: "07" to a write request, "05" to anything else
//   3  2  status "FF" (an "F" at position 3 marks the error)
//   5  8  the request's class and address when they were readable, else zeros
//  13 10  zeros
//  23  4  error code
//  27  4  extended code
//  31  4  BCC
//  35  1  "]"
void appendErrorReply(std::string& out, const char* frame, size_t size, ErrorCode error,
                      quint16 extendedCode)
{
    // Without its "[" the request's fields cannot be found, so nothing is echoed.
    const bool framed = size > 0 && frame[0] == '[';
    const size_t start = out.size();
    out.push_back('[');
    out.append(framed && size > 3 && matches(frame, kCommandPos, "06") ? "07" : "05");
    out.append("FF");
    if (framed && isHexField(frame, size, kClassPos, 8) && kClassPos + 8 < size) {
        out.append(frame + kClassPos, 8);
    } else {
        out.append("00000000");
    }
    out.append("0000000000");
    appendHex(out, static_cast<quint32>(error), 4);
    appendHex(out, extendedCode, 4);
    appendBccAndEnd(out, start);
}

// Read reply (20 + 4n characters):
//   0  1  "["
//   1  2  "05"
//   3  2  status "00"
//   5  2  address class
//   7  6  start address
//  13  2  word count n, "00" for 256
//  15 4n  the words in address order
// 15+4n 4  BCC
// 19+4n 1  "]"
void appendReadReply(std::string& out, const PlcMemory& memory, const ParsedRequest& request,
                     const ReplyFaults& faults)
{
    quint32 wordCount = request.count;
    if (faults.shortReplyWords >= 0 && quint32(faults.shortReplyWords) < wordCount) {
        wordCount = static_cast<quint32>(faults.shortReplyWords);
    }
    // A reply for another address says so in its echo and carries that address's words.
    const quint32 address = request.address + static_cast<quint32>(faults.readReplyAddressOffset);

    const size_t start = out.size();
    out.reserve(start + 20 + 4 * wordCount);
    out.append("[0500");
    if (faults.noEcho) {
        out.append("00000000");
    } else {
        appendHex(out, static_cast<quint32>(request.addressClass), 2);
        appendHex(out, address & 0xFFFFFF, 6);
    }
    appendHex(out, wordCount & 0xFF, 2);
    const size_t wordsStart = out.size();
    for (quint32 i = 0; i < wordCount; ++i) {
        appendHex(out, memory.word(request.addressClass, address + i), 4);
    }
    if (faults.nonHexInReplyWords && wordCount > 0) {
        out[wordsStart + 1] = 'G';
    }
    appendBccAndEnd(out, start);
}

// Write reply (20 characters): "[", command "07", status "00", class (2), start address (6),
// the number of words written (2), BCC, "]". A module that speaks another command answers the same
// with "09": well formed, and neither a write reply nor an error reply.
void appendWriteReply(std::string& out, const ParsedRequest& request, const char* command = "07")
{
    const size_t start = out.size();
    out.push_back('[');
    out.append(command);
    out.append("00");
    appendHex(out, static_cast<quint32>(request.addressClass), 2);
    appendHex(out, request.address, 6);
    appendHex(out, request.count, 2);
    appendBccAndEnd(out, start);
}

void applyWrite(PlcMemory& memory, const char* frame, const ParsedRequest& request)
{
    for (quint32 i = 0; i < request.count; ++i) {
        const quint32 value = readHex(frame + kWriteDataPos + 4 * i, 4);
        memory.setWord(request.addressClass, request.address + i, static_cast<quint16>(value));
    }
}

} // namespace

const std::vector<ErrorCodeInfo>& errorCodes()
{
    static const std::vector<ErrorCodeInfo> codes = {
        {ErrorCode::WordCountZero, "word count below 1"},
        {ErrorCode::WordCountTooLarge, "word count above 256 in a read, or above "
                                       "--max-read-words N (extended code: N)"},
        {ErrorCode::BadDelimiter, "bad or missing delimiter, or no \"]\" within a 255-word "
                                  "write's length (extended code: a stray bracket's position)"},
        {ErrorCode::BadBcc, "bad BCC (extended code: the BCC expected)"},
        {ErrorCode::InvalidAddressClass, "invalid address class"},
        {ErrorCode::InvalidDataCharacter,
         "invalid data character, anything but 0-9 and A-F (extended code: its position)"},
        {ErrorCode::OddCharacterCount,
         "odd character count, or a length that does not fit the request's layout"},
        {ErrorCode::AddressOutOfRange, "address before the first word or past the end of memory"},
        {ErrorCode::UnknownCommand,
         "unknown command (not 04 or 06) or an unexpected fixed field (00, 01)"},
        {ErrorCode::InjectedError, "address made to fail on purpose (fault injection)"},
        {ErrorCode::ReadOnlyClass, "a write to the status words (STW), which are read-only"},
        {ErrorCode::NotInRecording, "a request the --replay recording does not hold"},
    };
    return codes;
}

HandleResult handleRequest(const char* frame, size_t size, PlcMemory& memory,
                           const ReplyFaults& faults, std::string& reply)
{
    const ParsedRequest request = parseRequest(frame, size, memory, faults);
    HandleResult result;
    result.error = request.error;
    if (request.error != ErrorCode::None) {
        appendErrorReply(reply, frame, size, request.error, request.extendedCode);
    } else if (request.isWrite) {
        applyWrite(memory, frame, request);
        result.wroteMemory = true;
        result.addressClass = request.addressClass;
        result.address = request.address;
        result.count = request.count;
        if (faults.foreignWriteReply) {
            appendWriteReply(reply, request, "09");
        } else if (faults.readReplyToWrite) {
            appendReadReply(reply, memory, request, faults);
        } else {
            appendWriteReply(reply, request);
        }
    } else {
        const size_t start = reply.size();
        appendReadReply(reply, memory, request, faults);
        if (faults.duplicateReadReply) {
            reply.append(reply, start, std::string::npos);
        }
    }
    return result;
}

QByteArray errorReply(const QByteArray& request, ErrorCode error, quint16 extendedCode)
{
    std::string reply;
    appendErrorReply(reply, request.constData(), static_cast<size_t>(request.size()), error,
                     extendedCode);
    return QByteArray(reply.data(), static_cast<int>(reply.size()));
}

QByteArray handleRequest(const QByteArray& frame, PlcMemory& memory, const ReplyFaults& faults)
{
    std::string reply;
    handleRequest(frame.constData(), static_cast<size_t>(frame.size()), memory, faults, reply);
    return QByteArray(reply.data(), static_cast<int>(reply.size()));
}

} // namespace camp_sim
