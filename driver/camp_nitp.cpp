// The exchange half of the driver: the two memory commands over its connection to the PLC's
// Ethernet module. The frames are camp_wire's; every reply is checked against its request here,
// and what the driver learns of its module is kept here.

#include "camp_nitp.h"

#include "diagnostic_lines.h"

#include <cerrno>

namespace {

const char kSendingRead[] = "sending a read command to the PLC";
const char kReadingResponse[] = "reading a response from the PLC";
const char kSendingWrite[] = "sending a write command to the PLC";
const char kReadingWriteResponse[] = "reading a write response from the PLC";

// Why a reply was refused, for the line on standard error.
const char kBadBcc[] = "has a wrong BCC";
const char kNotAnAnswer[] = "does not answer the request";

// First replies of new connections in a row that carry zeros where the module used to echo, before
// the driver takes the module for a replacement that does not echo. One could be a fluke; a second
// on a further new connection is not.
constexpr int kZeroEchoesOfAReplacement = 2;

// Every line names the device's address and port (when the driver has been given one), so that
// two failing devices are told apart: " (HOST:PORT)".
QByteArray where(const QByteArray& target)
{
    return target.isEmpty() ? QByteArray() : " (" + target + ')';
}

void printCommandFailure(const QByteArray& target, const char* direction, const char* command,
                         int cls, quint32 address, int count)
{
    printDiagnostic("CAMP_NITP error %s. (%s) Class: %d Address: %d Word count: %d%s\n", direction,
                    command, cls, static_cast<int>(address), count, where(target).constData());
}

} // namespace

CAMP_NITP::~CAMP_NITP()
{
    disconnectFromPLC();
}

bool CAMP_NITP::connectToPLC(DeviceInstancePlugin* device)
{
    const int port = loadPort(*device);
    timeoutMs = loadTimeoutMs(*device);
    // A device is polled again and again at one address: its texts are made when it changes.
    if (device->address != targetAddress || port != targetPort || target.isEmpty()) {
        targetAddress = device->address;
        targetPort = port;
        targetHost = device->address.toUtf8();
        target = targetHost + ':' + QByteArray::number(port);
    }
    const QByteArray& host = targetHost;
    sessionErrorText.clear();
    timedOut = false;

    // "1445O" or a missing port would reach no module: say which column is wrong, as it was
    // given, and send nothing.
    if (port < 1 || port > 0xFFFF) {
        disconnectFromPLC();
        const QString given = device->columns.value(QStringLiteral("port"));
        device->errorText =
            QStringLiteral("Couldn't connect to %1:%2 (port \"%3\": a number from 1 to 65535 is "
                           "expected)")
                .arg(QString::fromUtf8(host), given.isEmpty() ? QStringLiteral("0") : given, given);
        return false;
    }

    if (isConnected()) {
        if (connection.isOpenTo(host, port)) {
            return true;
        }
        disconnectFromPLC();
    }
    const QString failure = openConnection(host, port);
    if (!failure.isEmpty()) {
        device->errorText = failure;
        return false;
    }
    return true;
}

// Opens a connection to host:port; the user's message on failure, with nothing left open, or an
// empty text. A new connection has answered nothing yet.
QString CAMP_NITP::openConnection(const QByteArray& host, int port)
{
    const QString failure = connection.open(host, port, timeoutMs);
    if (!failure.isEmpty()) {
        return failure;
    }
    repliesOnConnection = 0;
    if (everConnected) {
        ++link->reconnects;
    }
    everConnected = true;
    return QString();
}

bool CAMP_NITP::disconnectFromPLC()
{
    dropConnection();
    connection.forgetTarget();
    return true;
}

// Closes the connection but keeps its target: the next request connects again.
void CAMP_NITP::dropConnection()
{
    connection.close();
    repliesOnConnection = 0;
}

void CAMP_NITP::failSession(const QString& message)
{
    sessionErrorText = message;
    answeredBeforeLoss = repliesOnConnection > 0;
    disconnectFromPLC();
}

bool CAMP_NITP::failTransfer(const char* direction, int errorNumber, const char* activity)
{
    const QString message = ioErrorMessage(errorNumber, activity);
    timedOut = errorNumber == EAGAIN || errorNumber == EWOULDBLOCK || errorNumber == ETIMEDOUT;
    printDiagnostic("CAMP_NITP error %s. %s%s\n", direction, message.toLocal8Bit().constData(),
                    where(target).constData());
    failSession(message);
    return false;
}

// The whole frame goes out within one time-out.
bool CAMP_NITP::sendAll(const QByteArray& frame, const char* activity)
{
    int errorNumber = 0;
    if (!connection.sendFrame(frame, PlcConnection::nowMs() + timeoutMs, errorNumber)) {
        return failTransfer("writing", errorNumber, activity);
    }
    return true;
}

// The next frame from the stream, by one time-out after the request went out.
bool CAMP_NITP::recvMessage(QByteArray& frame, const char* activity)
{
    int errorNumber = 0;
    switch (connection.receiveFrame(frame, replyDeadlineMs, errorNumber)) {
    case PlcConnection::Received::Frame:
        return true;
    case PlcConnection::Received::NotCamp:
        failSession(QStringLiteral("Lost connection to PLC while reading a response from the PLC"));
        return false;
    case PlcConnection::Received::Failed:
        break;
    }
    return failTransfer("read", errorNumber, activity);
}

bool CAMP_NITP::reconnect()
{
    const QByteArray host = connection.targetHost();
    const int port = connection.targetPort();
    dropConnection();
    const QString failure = openConnection(host, port);
    if (failure.isEmpty()) {
        return true;
    }
    const QByteArray text = failure.toLocal8Bit();
    printDiagnostic("CAMP_NITP error connecting. %s%s\n", text.constData(),
                    text.contains(target) ? "" : where(target).constData());
    failSession(failure);
    return false;
}

bool CAMP_NITP::sendRequest(const QByteArray& frame, const char* activity)
{
    timedOut = false;
    // Bytes that arrive while no request is outstanding answer none: a duplicated or late reply. A
    // request sent after them would take them for its reply, so the connection is out of step. (A
    // close by the module is not: the request then fails on it as on any broken connection.)
    if (isConnected() && connection.hasBytesWaiting()) {
        printDiagnostic("CAMP_NITP: unexpected data from %s before a request; reconnecting\n",
                        qPrintable(connection.hostAndPort()));
        dropConnection();
    }
    // A connection dropped for a reply that answered another request is opened again here.
    if (!isConnected() && connection.hasTarget() && !reconnect()) {
        return false;
    }
    if (!sendAll(frame, activity)) {
        return false;
    }
    sentAtNs = PlcConnection::nowNs();
    replyDeadlineMs = sentAtNs / 1000000 + timeoutMs;
    return true;
}

// The reply to the outstanding request, its round trip counted.
bool CAMP_NITP::receiveReply(QByteArray& frame, const char* activity)
{
    if (!recvMessage(frame, activity)) {
        return false;
    }
    ++link->replies;
    link->roundTripNs += PlcConnection::nowNs() - sentAtNs;
    return true;
}

// A read reply answers the request when it is a read reply and, once the module is known to echo
// the request's class and address, echoes this request's. An echo of all zeros teaches nothing: a
// module that does not echo may well write zeros there.
bool CAMP_NITP::answersRead(const QByteArray& reply, qint32 cls, quint32 address)
{
    if (!camp_wire::isReadReply(reply)) {
        return false;
    }
    if (camp_wire::echoesRequest(reply, cls, address)) {
        if (cls != 0 || address != 0) {
            link->echoingHost = connection.targetHost();
            link->echoingPort = connection.targetPort();
            link->zeroEchoesInRow = 0;
        }
        return true;
    }
    const bool knownToEcho = link->echoingHost == connection.targetHost() &&
                             link->echoingPort == connection.targetPort();
    return !knownToEcho || moduleStoppedEchoing(reply);
}

// The first reply of a new connection can answer nothing but its request. When such replies carry
// zeros where this target's module used to echo, on new connections in a row, the module has been
// replaced by one that does not echo: from then on it is not expected to.
bool CAMP_NITP::moduleStoppedEchoing(const QByteArray& reply)
{
    if (repliesOnConnection != 0 || !camp_wire::echoesRequest(reply, 0, 0) ||
        ++link->zeroEchoesInRow < kZeroEchoesOfAReplacement) {
        return false;
    }
    printDiagnostic("CAMP_NITP: %s no longer echoes the requests' class and address (a replaced "
                    "module?); its replies are taken without the echo\n",
                    qPrintable(connection.hostAndPort()));
    link->echoingHost.clear(); // the count starts again when an echo is seen again
    link->echoingPort = -1;
    return true;
}

// A reply that does not answer its request stores nothing, and the connection it came on is
// dropped so that no later request can take a stale reply.
CAMP_NITP::Result CAMP_NITP::refuseReply(const char* command, const char* why, qint32 cls,
                                         quint32 address, int count, ItemInstancePlugin* item)
{
    printDiagnostic("CAMP_NITP error reply. (%s) Class: %d Address: %d Word count: %d %s; "
                    "reconnecting%s\n",
                    command, cls, static_cast<int>(address), count, why, where(target).constData());
    if (item) {
        item->errorText = QStringLiteral("Error reading response");
    }
    ++link->refusedReplies;
    dropConnection();
    return Result::Refused;
}

CAMP_NITP::Result CAMP_NITP::read(qint32 cls, quint32 address, quint16 count, Words& words,
                                  ItemInstancePlugin* item)
{
    const Result sent = sendRead(cls, address, count, item);
    return sent == Result::Done ? receiveRead(cls, address, count, words, item) : sent;
}

CAMP_NITP::Result CAMP_NITP::sendRead(qint32 cls, quint32 address, quint16 count,
                                      ItemInstancePlugin* item)
{
    if (count == 0 || count > camp_wire::kMaxReadWords) {
        return Result::ItemFailed; // no frame can ask for it; nothing is sent or said
    }
    if (cls < 0 || cls > kMaxAddressClass || address > kMaxWordAddress) {
        if (item) {
            item->errorText = QLatin1String(kInvalidAddress);
        }
        return Result::ItemFailed;
    }
    if (!sendRequest(camp_wire::readRequest(cls, address, count), kSendingRead)) {
        printCommandFailure(target, "writing", "READ", cls, address, count);
        return Result::ConnectionLost;
    }
    return Result::Done;
}

CAMP_NITP::Result CAMP_NITP::receiveRead(qint32 cls, quint32 address, quint16 count, Words& words,
                                         ItemInstancePlugin* item)
{
    QByteArray reply;
    if (!receiveReply(reply, kReadingResponse)) {
        printCommandFailure(target, "read", "READ", cls, address, count);
        return Result::ConnectionLost;
    }
    if (!camp_wire::hasGoodBcc(reply)) {
        return refuseReply("READ", kBadBcc, cls, address, count, item);
    }
    if (checkForError(reply, item)) {
        ++repliesOnConnection;
        return Result::ItemFailed; // the PLC's refusal; it carries no value to misplace
    }
    if (!answersRead(reply, cls, address) || !camp_wire::readReplyWords(reply, count, words)) {
        return refuseReply("READ", kNotAnAnswer, cls, address, count, item);
    }
    ++repliesOnConnection;
    return Result::Done;
}

// Writes exactly the given words from the item's first word on; the caller encodes the value
// into words that belong to the item.
CAMP_NITP::Result CAMP_NITP::write(const ItemAddress& at, const Words& words,
                                   ItemInstancePlugin* item)
{
    const Result sent = sendWrite(at, words, item);
    return sent == Result::Done ? receiveWrite(at, static_cast<int>(words.size()), item) : sent;
}

CAMP_NITP::Result CAMP_NITP::sendWrite(const ItemAddress& at, const Words& words,
                                       ItemInstancePlugin* item)
{
    const QString refusal = writeRefusal(words);
    if (!refusal.isEmpty()) {
        item->errorText = refusal;
        return Result::ItemFailed;
    }
    const int cls = at.addressClass;
    if (!sendRequest(camp_wire::writeRequest(cls, at.startAddress, words), kSendingWrite)) {
        printCommandFailure(target, "writing", "WRITE", cls, at.startAddress,
                            static_cast<int>(words.size()));
        return Result::ConnectionLost;
    }
    return Result::Done;
}

// Only a write reply (07) or an error reply with a good BCC tells what became of a write; anything
// else (a stray read reply, a foreign frame, a garbled one) confirms nothing.
CAMP_NITP::Result CAMP_NITP::receiveWrite(const ItemAddress& at, int count,
                                          ItemInstancePlugin* item)
{
    const int cls = at.addressClass;
    QByteArray reply;
    if (!receiveReply(reply, kReadingWriteResponse)) {
        printCommandFailure(target, "read", "WRITE", cls, at.startAddress, count);
        return Result::ConnectionLost;
    }
    if (!camp_wire::hasGoodBcc(reply)) {
        return refuseReply("WRITE", kBadBcc, cls, at.startAddress, count, item);
    }
    if (checkForError(reply, item)) {
        ++repliesOnConnection;
        return Result::ItemFailed;
    }
    if (!camp_wire::isWriteReply(reply)) {
        return refuseReply("WRITE", kNotAnAnswer, cls, at.startAddress, count, item);
    }
    ++repliesOnConnection;
    return Result::Done;
}

namespace {

// The item's place in memory; an item that cannot be located says why in its error text.
ItemAddress locate(ItemInstancePlugin* item)
{
    ItemAddress at = itemAddress(*item);
    if (!at.isValid()) {
        item->errorText = invalidText(at, *item);
    }
    return at;
}

} // namespace

bool CAMP_NITP::readMemory(ItemInstancePlugin* item, Words& words)
{
    const ItemAddress at = locate(item);
    return at.isValid() &&
           read(at.addressClass, at.startAddress, at.wordCount, words, item) == Result::Done;
}

bool CAMP_NITP::readMemoryBlock(AddressClass cls, quint32 address, quint16 count, Words& words,
                                ItemInstancePlugin* item)
{
    return read(cls, address, count, words, item) == Result::Done;
}

bool CAMP_NITP::writeMemory(ItemInstancePlugin* item, Words values)
{
    const ItemAddress at = locate(item);
    return at.isValid() && write(at, values, item) == Result::Done;
}
