// What a simulated PLC is made as (PlcConfig) and the faults it injects on demand (Faults), apart
// from the PLC itself so that the server, the faults and the scan can use them.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QtGlobal>

namespace camp_sim {

// Address class codes as they appear in frames.
enum AddressClassCode : int {
    kClassV = 1,
    kClassK = 2,
    kClassX = 6,
    kClassY = 7,
    kClassC = 8,
    kClassWX = 9,
    kClassWY = 10,
    kClassSTW = 26,
};

struct PlcConfig
{
    quint16 serial = 0;        // STW259
    quint16 firmwareMajor = 0; // STW260
    quint16 firmwareMinor = 0; // STW261
    // Words per class code; missing classes use defaults (65536 V and K, 8192 X, Y, C, WX, WY,
    // 1024 STW). Addresses count from 1, so a class of N words holds 1 to N.
    QMap<int, quint32> memorySizes;
    int maxConnections = 24; // a further connection is refused (closed at once)
    int idleTimeoutMs = 0;   // 0: never close a silent connection
    int scanTimeMs = 0;      // 0: answer at once; else serve at scan boundaries, at most 8 per scan
};

struct Faults // switchable while the PLC runs (setFaults)
{
    int latencyMs = 0;          // delay before each reply
    int chunkBytes = 0;         // >0: send replies in pieces of this many bytes ...
    int chunkPauseMs = 0;       // ... with this pause between pieces
    QByteArray junkBeforeReply; // sent before every reply's "["
    bool silent = false;        // read requests, never answer (nor carry them out)
    // >0: close the connection after this many requests (after answering).
    int closeAfterRequests = 0;
    bool closeMidReply = false; // send half of the reply, then close
    // >=0: read replies carry only this many words (the count field says so).
    int shortReplyWords = -1;
    // (class, address): requests touching one of them get an error reply (code 0292).
    QList<QPair<int, quint32>> errorAddresses;
    // Replies that answer another request (a faulty module, a gateway, a noisy line):
    bool duplicateReadReply = false; // every read reply is sent twice
    int readReplyAddressOffset = 0;  // read replies echo and carry the words this far away
    bool readReplyToWrite = false;   // writes are carried out but answered with a read reply
    bool nonHexInReplyWords = false; // a "G" stands for the second digit of a read reply's words
    bool noEcho = false; // read replies carry zeros for the request's class and address, as a
                         // module that does not echo them
    // 0-100: this share of the read replies that carry words gets one hex digit of its words
    // changed, the BCC left as computed for the true reply (a digit garbled on the line). No
    // chance involved: the PLC counts those replies, and reply k is garbled when
    // k * N / 100 != (k - 1) * N / 100, so 30 garbles exactly 3 of any 10 in a row.
    int garbledDigitPercent = 0;
    // Writes are carried out but answered with a well-formed frame of another command:
    // "[0900" class, address, count, BCC "]".
    bool foreignWriteReply = false;
    // >0: take at most this many connections at once from now on (never more than
    // PlcConfig::maxConnections); a further one is refused as beyond the module's limit.
    int connectionLimit = 0;
    // >0: a connection accepted while this many others or more were open takes in its requests
    // and never answers them (as `silent`, for those connections only). Judged per request.
    int silentBeyond = 0;
    bool endlessStream = false;  // answer a request with an endless stream of bytes without "]"
    bool acceptAndClose = false; // accept, then close at once
    // Behave as a plain non-CAMP text service: answer whatever comes with this line, then close.
    bool textService = false;
    QByteArray textServiceReply = QByteArrayLiteral("HTTP/1.0 400 Bad Request\r\n");
    // >0: a module that reads at most this many words a request: a read of more gets an error
    // reply (0272, the extended code this number).
    int maxReadWords = 0;
};

} // namespace camp_sim
