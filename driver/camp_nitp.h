#pragma once
// The CAMP/NITP driver: one object per device, holding at most one TCP connection to the PLC's
// Ethernet module. It reads blocks of memory words and writes the words of one item, one request
// outstanding at a time, and refuses any reply that does not answer its request. The frames are
// camp_wire's, the socket is plc_connection's; the item model and the value codecs are
// item_address's and value_codec's.
//
// A driver is not safe for concurrent use: its owner serialises the calls (one device session,
// one mutex).

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <vector>

#include "camp_wire.h"
#include "item_address.h"
#include "kib_records.h"
#include "plc_connection.h"

// What the connections of one device did and learnt, shared by every driver of its session: the
// device's status values are made from the counts, and a connection opened later knows at once
// what the others learnt of the module.
struct LinkCounters
{
    quint64 reconnects = 0; // connections opened by a driver that had one before
    quint64 refusedReplies = 0;
    quint64 replies = 0;    // replies received ...
    qint64 roundTripNs = 0; // ... and their round trips together, since the figures were reset
    // The target whose module has echoed a read request's class and address in its reply; from
    // then on a reply that echoes another request is refused.
    QByteArray echoingHost;
    int echoingPort = -1;
    // First replies of new connections in a row that carried zeros where that module echoes: the
    // signs of a module replaced by one that does not echo.
    int zeroEchoesInRow = 0;
};

class CAMP_NITP
{
public:
    // Address class codes as written into the class field of a frame and stored in the item
    // column "address_class". Written qualified (AddressClass::STW): the letters alone say little.
    enum AddressClass : qint32 { V = 1, K = 2, X = 6, Y = 7, C = 8, WX = 9, WY = 10, STW = 26 };

    // Value types as stored in the item column "data_type".
    enum DataType : qint32 {
        Bit = 0,
        Integer = 1,
        UnsignedInteger = 2,
        Float = 3,
        String = 4,
        LongInteger = 5,
        UnsignedLongInteger = 6
    };

    using Words = camp_wire::Words; // memory words, in address order

    // What one command came to: done; failed for its item alone (the PLC's error reply, or a
    // request no frame can carry, with the reason in the item's error text); refused (a reply came
    // that does not answer the request: garbled, for another request, of another kind; it stored
    // nothing and its connection was dropped); or the connection broke, with the reason in
    // sessionError().
    enum class Result { Done, ItemFailed, Refused, ConnectionLost };

    static constexpr int kDefaultTimeoutMs = 10000;
    static constexpr int kMaxTimeoutMs = 86400000; // a day: a longer "timeout" is limited to it
    static constexpr int kReceiveChunkBytes = PlcConnection::kReceiveChunkBytes;

    CAMP_NITP() = default;
    ~CAMP_NITP();
    CAMP_NITP(const CAMP_NITP&) = delete;
    CAMP_NITP& operator=(const CAMP_NITP&) = delete;

    // Connection (failures while opening go into the device's error text).
    bool connectToPLC(DeviceInstancePlugin* device);
    bool disconnectFromPLC();
    bool isConnected() const { return connection.isOpen(); }
    bool hasSessionError() const { return !sessionErrorText.isEmpty(); }
    // The device's address and port as the lines on standard error name them ("HOST:PORT").
    const QByteArray& targetText() const { return target; }
    // The module the last connection went to, as "ADDRESS:PORT" after resolution: two devices
    // that name one module by different names (or one by name, one by address) share it.
    const QByteArray& moduleAddress() const { return connection.moduleAddress(); }
    QString sessionError() const { return sessionErrorText; }
    // Whether the connection was lost because a reply did not come in time (not closed or reset),
    // and whether it had answered a request before it was lost.
    bool lostByTimeout() const { return timedOut; }
    bool lostAfterAnswering() const { return answeredBeforeLoss; }
    // Counts what this driver's connections do into `counters` (null: nowhere).
    void countInto(LinkCounters* counters) { link = counters ? counters : &ownLink; }

    // Memory commands. A read in its two halves lets a caller work on one reply while the PLC
    // answers the next request; only a request that was sent may be received.
    Result read(qint32 cls, quint32 address, quint16 count, Words& words, ItemInstancePlugin* item);
    Result sendRead(qint32 cls, quint32 address, quint16 count, ItemInstancePlugin* item);
    Result receiveRead(qint32 cls, quint32 address, quint16 count, Words& words,
                       ItemInstancePlugin* item);
    // Each reply is awaited until one time-out after its request went out, so that replies
    // awaited together cost one time-out, not one each.
    Result write(const ItemAddress& at, const Words& words, ItemInstancePlugin* item);
    Result sendWrite(const ItemAddress& at, const Words& words, ItemInstancePlugin* item);
    Result receiveWrite(const ItemAddress& at, int count, ItemInstancePlugin* item);

    // The same commands for an item's columns, true when done.
    bool readMemory(ItemInstancePlugin* item, Words& words);
    bool readMemoryBlock(AddressClass cls, quint32 address, quint16 count, Words& words,
                         ItemInstancePlugin* item);
    bool writeMemory(ItemInstancePlugin* item, Words values);

    // Pure helpers: reply decoding, the item's place, the field encoders, messages.
    static bool parseReadResponse(const QByteArray& reply, quint16 count, Words& words,
                                  ItemInstancePlugin* item);
    static bool checkForError(const QByteArray& reply, ItemInstancePlugin* item);
    static bool itemAddressRange(const ItemInstancePlugin& item, AddressClass& cls,
                                 quint32& address, quint16& count);
    static QByteArray calcBCC(const QByteArray& frameSoFar);
    static QByteArray intToHexStr(qint32 value, quint8 width);
    static QByteArray realToHexStr(float value);
    static QByteArray stringToHexStr(const QByteArray& text);
    static QByteArray appendZeros(const QByteArray& text, quint8 width);
    static quint16 dataLength(DataType type);
    static std::vector<QByteArray> tokenize(const QByteArray& text, char delimiter);
    static QString ioErrorMessage(int errorNumber, const char* activity);
    static int loadTimeoutMs(const DeviceInstancePlugin& device);
    // The "port" column as a number; 0 when it is missing or not a number (no default here: the
    // device column carries it). A port outside 1 to 65535 reaches no module.
    static int loadPort(const DeviceInstancePlugin& device);
    static QString writeRefusal(const Words& values);

private:
    QString openConnection(const QByteArray& host, int port);

    // Transport; a failure records the session error and closes the connection.
    bool sendAll(const QByteArray& frame, const char* activity);
    bool recvMessage(QByteArray& frame, const char* activity);
    bool receiveReply(QByteArray& frame, const char* activity);
    void failSession(const QString& message);
    bool failTransfer(const char* direction, int errorNumber, const char* activity);

    // One request is outstanding at a time, so a request goes out only on a connection in step.
    bool sendRequest(const QByteArray& frame, const char* activity);
    bool reconnect();
    void dropConnection();
    bool answersRead(const QByteArray& reply, qint32 cls, quint32 address);
    bool moduleStoppedEchoing(const QByteArray& reply);
    Result refuseReply(const char* command, const char* why, qint32 cls, quint32 address, int count,
                       ItemInstancePlugin* item);

    PlcConnection connection;
    QString sessionErrorText;
    int timeoutMs = kDefaultTimeoutMs;
    // "HOST:PORT" of the device, for the lines on standard error, and what it was made of: the
    // device's address (also in UTF-8) and port.
    QByteArray target;
    QString targetAddress;
    QByteArray targetHost;
    int targetPort = 0;
    qint64 replyDeadlineMs = 0;    // when the reply to the outstanding request is given up
    qint64 sentAtNs = 0;           // when the outstanding request went out
    LinkCounters ownLink;          // a driver of its own ...
    LinkCounters* link = &ownLink; // ... or one of a session's
    // What is learnt of a connection belongs to that TCP connection: a new one knows nothing.
    int repliesOnConnection = 0;
    bool everConnected = false;
    bool timedOut = false;
    bool answeredBeforeLoss = false;
};

// The plugin and its helpers name these without the class prefix.
using AddressClass = CAMP_NITP::AddressClass;
using DataType = CAMP_NITP::DataType;
using Words = CAMP_NITP::Words;
