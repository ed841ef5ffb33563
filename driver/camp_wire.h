#pragma once
// The CAMP wire format as pure functions: hex fields, the block check, the request frames, frame
// assembly from a byte stream and the fields of a reply. The driver and the discovery probe both
// speak through it. Nothing here touches a socket or keeps state.
//
// Every message is one frame of printable ASCII: "[", fixed-width upper-case hex fields, a
// four-digit block check (BCC), "]". Positions count from 0 at "[".

#include <QByteArray>
#include <QtGlobal>

#include <vector>

namespace camp_wire {

using Words = std::vector<quint16>; // memory words in address order

constexpr quint16 kMaxReadWords = 256;   // one read request carries at most this many words
constexpr int kMaxWriteWords = 255;      // the write count field has two hex digits
constexpr int kReceiveLimitBytes = 4096; // more than this without a frame: not a CAMP peer

// The value of every byte as a hex digit of either case, or -1: replies carry thousands of
// digits a poll, so one look-up each.
struct HexDigitTable
{
    signed char value[256];
    constexpr HexDigitTable() : value()
    {
        for (int c = 0; c < 256; ++c) {
            value[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                       : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                       : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                                              : static_cast<signed char>(-1);
        }
    }
};
inline constexpr HexDigitTable kHexDigitTable{};

// The value of one hex digit of either case, or -1.
inline int hexDigitValue(char c)
{
    return kHexDigitTable.value[static_cast<unsigned char>(c)];
}
// Reads `digits` hex digits; false, and value untouched, unless every one of them is a hex digit.
bool decodeHex(const char* text, int digits, quint32& value);
// Upper-case hex of value, zero-padded on the left to minDigits, never cut short.
void appendHex(QByteArray& out, quint32 value, int minDigits);
QByteArray hex(quint32 value, int minDigits);
// The block check: the low 16 bits of the sum of the bytes as unsigned values.
quint16 byteSum(const char* begin, const char* end);

// Read request, 24 characters:
//   pos  len  field
//    0    1   "["
//    1    2   command "04"
//    3    2   "00"
//    5    2   address class
//    7    6   start word address
//   13    2   "01"
//   15    4   word count, 0001 to 0100
//   19    4   BCC over positions 1 to 18
//   23    1   "]"
QByteArray readRequest(qint32 cls, quint32 address, quint16 count);

// Write request, 20 + 4N characters for N words:
//   pos     len  field
//    0       1   "["
//    1       2   command "06"
//    3       2   "00"
//    5       2   address class
//    7       6   start word address
//   13       2   word count N
//   15      4N   the words in address order
//   15+4N    4   BCC over positions 1 to 14+4N
//   19+4N    1   "]"
QByteArray writeRequest(qint32 cls, quint32 address, const Words& words);

// One step of receiving: bytes before the first "[" are dropped, a frame ends at the first "]"
// after it, and what follows is kept for the next frame. Without a complete frame the bytes are
// kept, up to kReceiveLimitBytes; past that the peer is not speaking CAMP.
enum class FrameStatus { NeedMore, Frame, GiveUp };
struct FrameScan
{
    FrameStatus status = FrameStatus::NeedMore;
    QByteArray frame; // from "[" to "]" (Frame only)
    QByteArray rest;  // bytes to keep: after the "]" (Frame), or still unframed (NeedMore)
};
FrameScan scanFrame(const QByteArray& bytesSoFar);

// Replies:
//   pos  len  field
//    0    1   "["
//    1    2   reply command: "05" answers a read, "07" a write
//    3    2   status; "F" first marks an error reply
//    5    8   the request's class and address, where the module echoes them
//   13    2   number of words; 00 means 256
//   15   4n   the words in address order
//   then 4    BCC
//   last 1    "]"
// An error reply holds its error code at 23-26 and its extended code at 27-30.
constexpr int kReplyCommandPos = 1;
constexpr int kReplyStatusPos = 3;
constexpr int kReplyEchoPos = 5;
constexpr int kReplyCountPos = 13;
constexpr int kReplyFirstWordPos = 15;
constexpr int kBccAndEndSize = 5;       // four BCC digits, then "]"
constexpr int kErrorReplyCheckPos = 31; // after the codes at 23-26 and 27-30

struct ErrorCodes // texts, not decoded; shorter than four characters when the reply is cut short
{
    QByteArray code;
    QByteArray extendedCode;
};
bool errorReplyCodes(const QByteArray& reply, ErrorCodes& codes);
// Where the check field of a reply starts, as its layout tells: after the words its count field
// announces (a read reply), after the error codes (an error reply), after the count (a write
// reply); the four characters before "]" in a frame of any other kind. -1 when the count field is
// not hex.
int checkFieldPos(const QByteArray& frame);
// Whether the check field holds the sum of the bytes between "[" and it. Where it lies comes
// from the reply's layout (a read reply's count field, an error or write reply's fixed fields):
// four hex digits of either case for the sum's low 16 bits; a read reply may instead end in five
// for a sum above FFFF, where exactly five characters are left. A digit garbled on the way changes
// the sum, so such a reply fails here.
bool hasGoodBcc(const QByteArray& frame);

// A frame as one line of text, byte for byte: bytes "!" to "~" as they are but the backslash,
// written as two backslashes; every other byte (a space, a control character) as \xHH with two
// upper-case hex digits. Traces and recordings show the bytes that went over the wire, garbled
// ones included.
QByteArray printableFrame(const QByteArray& frame);

bool isReadReply(const QByteArray& reply);
bool isWriteReply(const QByteArray& reply);
// Whether positions 5 to 12 hold this request's class and address, in either case.
bool echoesRequest(const QByteArray& reply, qint32 cls, quint32 address);
// The words of a read reply, at most `requested` of them, appended to `words`. False, and nothing
// appended, when the reply is too short for the words it announces or a character of the count
// or the words is not a hex digit: a decoder that skipped it would shift the good ones.
bool readReplyWords(const QByteArray& reply, quint16 requested, Words& words);

} // namespace camp_wire
