// Building the identify requests and checking replies strictly. A scan talks to whatever answers
// on a port, so a reply counts only when its frame, hex digits, BCC and command code all hold.

#include "camp_discovery.h"

namespace CampDiscovery {

namespace {

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool isHexAscii(const QByteArray& data)
{
    for (char c : data) {
        if (!isHexDigit(c)) {
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

// The parts of a frame "[<payload><BCC>]" that passed every check.
struct CheckedFrame
{
    bool valid = false;
    QByteArray payload;
};

CheckedFrame checkFrame(const QByteArray& data)
{
    CheckedFrame checked;
    const QByteArray frame = firstCampFrame(data);
    if (frame.size() < 8 || !frame.startsWith('[') || !frame.endsWith(']')) {
        return checked;
    }
    const QByteArray inner = frame.mid(1, frame.size() - 2);
    const QByteArray payload = inner.left(inner.size() - 4);
    const QByteArray bcc = inner.right(4);
    if (!isHexAscii(payload) || !isHexAscii(bcc)) {
        return checked;
    }
    // The BCC is the sum of the bytes as received, so lower-case letters count as themselves.
    if (campBcc(payload) != bcc.toUpper()) {
        return checked;
    }
    if (!isCampCommand(payload.left(2))) {
        return checked;
    }
    checked.valid = true;
    checked.payload = payload;
    return checked;
}

} // namespace

QByteArray hexAscii(quint32 value, int width)
{
    QByteArray digits = QByteArray::number(value, 16).toUpper();
    while (digits.size() < width) {
        digits.prepend('0');
    }
    // Wider values lose their high digits: every field keeps its width on the wire.
    return digits.right(qMax(width, 0));
}

QByteArray campBcc(const QByteArray& data)
{
    quint32 sum = 0;
    for (char c : data) {
        sum += static_cast<unsigned char>(c);
    }
    return hexAscii(sum, 4);
}

// Read request, positions from "[":
//   1  2  command "04"
//   3  2  status "00"
//   5  2  address class
//   7  6  start address
//  13  2  "01"
//  15  4  word count
//  19  4  BCC over positions 1..18
QByteArray readDataRequest(quint8 addressClass, quint32 address, quint16 count)
{
    const QByteArray body = QByteArrayLiteral("0400") + hexAscii(addressClass, 2) +
                            hexAscii(address, 6) + QByteArrayLiteral("01") + hexAscii(count, 4);
    return '[' + body + campBcc(body) + ']';
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
    const int open = data.indexOf('[');
    if (open < 0) {
        return QByteArray();
    }
    const int close = data.indexOf(']', open + 1);
    if (close < 0) {
        return QByteArray();
    }
    return data.mid(open, close - open + 1);
}

// Read reply payload (the frame without brackets and BCC), positions from 0:
//   0  2  command "05"
//   2  2  status; "F" first marks an error reply
//   4  2  address class
//   6  6  start address
//  12  2  word count, 00 meaning 256
//  14  4n the words
bool parseCampReply(const QByteArray& data, IdentifyResult* result)
{
    const CheckedFrame checked = checkFrame(data);
    if (!checked.valid) {
        return false;
    }
    const QByteArray& payload = checked.payload;
    IdentifyResult fresh;
    fresh.campReply = true;
    fresh.protocolError = payload.size() > 2 && payload[2] == 'F';
    if (!fresh.protocolError && payload.size() >= 18 && payload.startsWith("05")) {
        fresh.v0Word = QString::fromLatin1(payload.mid(14, 4).toUpper());
    }
    if (result) {
        *result = fresh;
    }
    return true;
}

QStringList parseCampReadWords(const QByteArray& data, bool* errorReply)
{
    if (errorReply) {
        *errorReply = false;
    }
    IdentifyResult reply;
    if (!parseCampReply(data, &reply) || !reply.campReply) {
        return QStringList();
    }
    if (reply.protocolError) {
        if (errorReply) {
            *errorReply = true;
        }
        return QStringList();
    }
    const QByteArray payload = checkFrame(data).payload;
    if (payload.size() <= 13 || !payload.startsWith("05")) {
        return QStringList();
    }
    bool ok = false;
    int count = payload.mid(12, 2).toInt(&ok, 16);
    if (!ok) {
        return QStringList();
    }
    if (count == 0) {
        count = 256;
    }
    // A reply shorter than it announces still gives the whole words it holds.
    if (4 * count + 13 >= payload.size()) {
        count = (payload.size() - 14) / 4;
    }
    QStringList words;
    for (int i = 0; i < count; ++i) {
        words.append(QString::fromLatin1(payload.mid(14 + 4 * i, 4).toUpper()));
    }
    return words;
}

QMap<QString, QString> identityFromStwWords(const QStringList& words)
{
    QMap<QString, QString> identity;
    if (words.size() < 3) {
        return identity;
    }
    quint16 values[3];
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        values[i] = words[i].toUShort(&ok, 16);
        if (!ok) {
            values[i] = 0;
        }
    }
    const quint16 serial = values[0];        // STW259
    const quint16 firmwareMajor = values[1]; // STW260
    const quint16 firmwareMinor = values[2]; // STW261
    if (serial != 0) {
        identity.insert(QStringLiteral("serial"), QString::number(serial));
    }
    if (firmwareMajor != 0 || firmwareMinor != 0) {
        identity.insert(QStringLiteral("firmware"),
                        QStringLiteral("%1.%2").arg(QString::number(firmwareMajor),
                                                    QString::number(firmwareMinor)));
    }
    return identity;
}

} // namespace CampDiscovery
