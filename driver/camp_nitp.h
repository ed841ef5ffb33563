#pragma once
// The CAMP/NITP driver: one object per device, holding at most one TCP connection to the PLC's
// Ethernet module. It builds and parses the bracketed ASCII-hex frames, reads blocks of memory
// words and writes the words of one item.
//
// The static members are pure functions of their arguments (no socket, no member state); the
// instance members do the I/O. A driver is not safe for concurrent use: its owner serialises the
// calls (one device session, one mutex).

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <vector>

#include "kib_records.h"

// Command codes of the two NITP memory commands.
inline constexpr char READ_DATA_CMD[] = "04";
inline constexpr char WRITE_DATA_CMD[] = "06";

class CAMP_NITP
{
public:
    // Address class codes as written into the class field of a frame and stored in the item
    // column "address_class". Written qualified (AddressClass::STW): the letters alone say little.
    enum AddressClass : qint32 { V = 1, K = 2, X = 6, Y = 7, C = 8, WX = 9, WY = 10, STW = 26 };

    // Value types as stored in the item column "data_type".
    enum DataType : qint32 { Bit = 0, Integer = 1, UnsignedInteger = 2, Float = 3, String = 4 };

    // Memory words as four-character hex texts, in address order.
    using Words = std::vector<QByteArray>;

    // Outcome of looking for one reply frame in the bytes received so far.
    enum class FrameStatus { NeedMore, Frame, GiveUp };
    struct FrameScan
    {
        FrameStatus status = FrameStatus::NeedMore;
        QByteArray frame; // the frame from "[" to "]" (Frame only)
        QByteArray rest;  // bytes to keep: after the "]" (Frame), or still unframed (NeedMore)
    };

    // Codes of an error reply; a code is shorter than four characters when the reply is cut short.
    struct ErrorCodes
    {
        QByteArray code;
        QByteArray extendedCode;
    };

    static constexpr int kDefaultTimeoutMs = 10000;
    static constexpr int kReceiveChunkBytes = 1024;
    static constexpr int kReceiveLimitBytes = 4096; // more than this without a frame: give up
    static constexpr quint16 kMaxReadWords = 256;
    static constexpr int kMaxWriteWords = 255; // the write count field has two hex digits
    static constexpr qint32 kMaxAddressClass = 0xFF;
    static constexpr quint32 kMaxWordAddress = 0xFFFFFF;

    CAMP_NITP() = default;
    ~CAMP_NITP();
    CAMP_NITP(const CAMP_NITP&) = delete;
    CAMP_NITP& operator=(const CAMP_NITP&) = delete;

    // Connection (failures while opening go into the device's error text).
    bool connectToPLC(DeviceInstancePlugin* device);
    bool disconnectFromPLC();
    bool isConnected() const { return socketFd >= 0; }
    bool hasSessionError() const { return !sessionErrorText.isEmpty(); }
    QString sessionError() const { return sessionErrorText; }

    // Memory commands.
    bool readMemory(ItemInstancePlugin* item, Words& words);
    bool readMemoryBlock(AddressClass cls, quint32 address, quint16 count, Words& words,
                         ItemInstancePlugin* item);
    // readMemoryBlock in its two halves, so that a caller can work on one reply while the PLC
    // answers the next request. Only a request that was sent may be received.
    bool sendReadRequest(AddressClass cls, quint32 address, quint16 count,
                         ItemInstancePlugin* item);
    bool receiveReadReply(AddressClass cls, quint32 address, quint16 count, Words& words,
                          ItemInstancePlugin* item);
    bool writeMemory(ItemInstancePlugin* item, Words values);

    // Transport; a failure records the session error and closes the connection.
    bool sendAll(const QByteArray& frame, const char* activity);
    bool recvMessage(QByteArray& frame, const char* activity);
    void failSession(const QString& message);

    // Reply decoding.
    static bool parseReadResponse(const QByteArray& reply, quint16 count, Words& words,
                                  ItemInstancePlugin* item);
    static bool isReadReply(const QByteArray& reply);
    static bool echoesRequest(const QByteArray& reply, qint32 cls, quint32 address);
    static bool checkForError(const QByteArray& reply, ItemInstancePlugin* item);
    static bool errorReplyCodes(const QByteArray& reply, ErrorCodes& codes);

    // Frames and encoders.
    static QByteArray readRequest(qint32 cls, quint32 address, quint16 count);
    static QByteArray writeRequest(qint32 cls, quint32 address, const Words& words);
    static FrameScan scanFrame(const QByteArray& bytesSoFar);
    static bool itemAddressRange(const ItemInstancePlugin& item, AddressClass& cls,
                                 quint32& address, quint16& count);
    static bool itemDataType(const ItemInstancePlugin& item, int& type);
    static QByteArray calcBCC(const QByteArray& frameSoFar);
    static QByteArray intToHexStr(qint32 value, quint8 width);
    static QByteArray realToHexStr(float value);
    static QByteArray stringToHexStr(const QByteArray& text);
    static QByteArray appendZeros(const QByteArray& text, quint8 width);
    static quint16 dataLength(DataType type);
    static std::vector<QByteArray> tokenize(const QByteArray& text, char delimiter);

    // Messages.
    static QString ioErrorMessage(int errorNumber, const char* activity);
    static int loadTimeoutMs(const DeviceInstancePlugin& device);
    static QString writeRefusal(const Words& values);

private:
    QString openConnection(const QByteArray& host, int port);
    QString failOpening(const QString& message);
    bool failTransfer(const char* direction, int errorNumber, const char* activity);
    bool waitUntil(short events, qint64 deadlineMs);

    // One request is outstanding at a time, so a request goes out only on a connection in step.
    bool sendRequest(const QByteArray& frame, const char* activity);
    bool isOutOfStep();
    bool reconnect();
    void dropConnection();
    bool answersRead(const QByteArray& reply, qint32 cls, quint32 address);
    bool refuseReply(const char* command, qint32 cls, quint32 address, int count,
                     ItemInstancePlugin* item);
    QString target() const;

    int socketFd = -1;
    // The target of the open connection, kept while a dropped connection waits to be reopened.
    QByteArray connectedHost;
    int connectedPort = 0;
    QString sessionErrorText;
    QByteArray receiveBuffer;
    int timeoutMs = kDefaultTimeoutMs;
    // The target whose module has echoed a read request's class and address in its reply; from
    // then on a reply that echoes another request is refused.
    QString echoingTarget;
};

// The plugin and its helpers name these without the class prefix.
using AddressClass = CAMP_NITP::AddressClass;
using DataType = CAMP_NITP::DataType;
using Words = CAMP_NITP::Words;
