// The protocol of the simulated PLC: one CAMP request frame in, one reply frame out, against the
// PLC's memory. No sockets and no clocks here; the server around it only moves bytes.
#pragma once

#include "plc_memory.h"

#include <QByteArray>
#include <QList>
#include <QPair>

#include <string>
#include <vector>

namespace camp_sim {

// Error codes of an error reply ("F" at position 3, code at 23-26, extended code at 27-30).
// The 027x codes are the ones the 2572 module uses for these faults; 029x are this simulator's.
enum class ErrorCode : quint16 {
    None = 0,
    WordCountZero = 0x0271,        // word count below 1
    WordCountTooLarge = 0x0272,    // word count above what one read takes (256, or
                                   // ReplyFaults::maxReadWords: the extended code then says it)
    BadDelimiter = 0x0273,         // "[" or "]" missing or misplaced, or no "]" in time;
                                   // extended code: the position of a stray bracket
    BadBcc = 0x0274,               // extended code: the BCC the frame should have carried
    InvalidAddressClass = 0x0275,  // a class code the PLC does not have
    InvalidDataCharacter = 0x0276, // not 0-9 or A-F; extended code: its position in the frame
    OddCharacterCount = 0x0277,    // frame length does not fit its layout
    AddressOutOfRange = 0x0290,    // before the first word or past the end of the class
    UnknownCommand = 0x0291,       // command other than 04 or 06, or a fixed field other than 00/01
    InjectedError = 0x0292,        // an address chosen to fail (Faults::errorAddresses)
    ReadOnlyClass = 0x0293,        // a write to the status words, which are the PLC's own
    NotInRecording = 0x0294,       // a replayed module got a request its recording lacks
};

struct ErrorCodeInfo
{
    ErrorCode code;
    const char* meaning;
};
const std::vector<ErrorCodeInfo>& errorCodes(); // every code with its meaning, for help texts

// The faults that change what a reply says (the others change how it travels).
struct ReplyFaults
{
    int shortReplyWords = -1;                  // >=0: read replies carry only this many words
    QList<QPair<int, quint32>> errorAddresses; // (class, address) that give InjectedError
    // The faults of a module or line that answers the wrong request:
    bool duplicateReadReply = false; // every read reply is sent twice
    int readReplyAddressOffset = 0;  // read replies answer for the address this far away
    bool readReplyToWrite = false;   // a write is carried out but answered with a read reply
    bool nonHexInReplyWords = false; // a "G" stands for the second digit of a read reply's words
    bool noEcho = false;             // read replies carry zeros for the request's class and address
    bool foreignWriteReply = false;  // a write is carried out but answered with a "09" frame
    quint32 maxReadWords = 0;        // >0: a module that refuses reads of more words (0272)
};

struct HandleResult
{
    ErrorCode error = ErrorCode::None;
    bool wroteMemory = false;
    // The words a write changed (wroteMemory only).
    int addressClass = 0;
    quint32 address = 0;
    quint32 count = 0;
};

// Answers one request: `frame` runs from its "[" to its "]" (a broken frame may lack either).
// The reply is appended to `reply`, which the caller may reuse between calls.
HandleResult handleRequest(const char* frame, size_t size, PlcMemory& memory,
                           const ReplyFaults& faults, std::string& reply);
QByteArray handleRequest(const QByteArray& frame, PlcMemory& memory,
                         const ReplyFaults& faults = ReplyFaults());

// The error reply to a request, as the PLC sends it for its own refusals.
QByteArray errorReply(const QByteArray& request, ErrorCode error, quint16 extendedCode = 0);

// The longest request the PLC takes: a write of 255 words. Longer input without "]" is cut off.
constexpr size_t kMaxRequestSize = 20 + 4 * 255;

} // namespace camp_sim
