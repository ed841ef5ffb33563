// Building the identify requests and checking replies strictly. A scan talks to whatever answers
// on a port, so a reply counts only when its frame, hex digits, BCC and command code all hold.

#include "camp_discovery.h"

#include "camp_wire.h"

namespace CampDiscovery {

namespace {

bool isHexAscii(const QByteArray& data)
{
    quint32 ignored = 0;
    for (int at = 0; at < data.size(); ++at) {
        if (!camp_wire::decodeHex(data.constData() + at, 1, ignored)) {
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

// The payload of a frame "[<payload><BCC>]" that passed every check, or an empty one.
QByteArray checkedPayload(const QByteArray& data)
{
    const QByteArray frame = firstCampFrame(data);
    if (frame.size() < 8) {
        return QByteArray();
    }
    const QByteArray payload = frame.mid(1, frame.size() - 6);
    const QByteArray bcc = frame.mid(frame.size() - 5, 4);
    // The BCC is the sum of the bytes as received, so lower-case letters count as themselves.
    if (!isHexAscii(payload) || !isHexAscii(bcc) || campBcc(payload) != bcc.toUpper() ||
        !isCampCommand(payload.left(2))) {
        return QByteArray();
    }
    return payload;
}

} // namespace

QByteArray hexAscii(quint32 value, int width)
{
    // Wider values lose their high digits: every field keeps its width on the wire.
    return camp_wire::hex(value, width).right(qMax(width, 0));
}

QByteArray campBcc(const QByteArray& data)
{
    return camp_wire::hex(camp_wire::byteSum(data.constData(), data.constData() + data.size()), 4);
}

QByteArray readDataRequest(quint8 addressClass, quint32 address, quint16 count)
{
    return camp_wire::readRequest(addressClass, address & 0xFFFFFFu, count);
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
    const int close = open < 0 ? -1 : data.indexOf(']', open + 1);
    return close < 0 ? QByteArray() : data.mid(open, close - open + 1);
}

// The payload is the frame without its brackets and BCC: a read reply's fields sit one position
// before their place in the frame.
bool parseCampReply(const QByteArray& data, IdentifyResult* result)
{
    const QByteArray payload = checkedPayload(data);
    if (payload.isEmpty()) {
        return false;
    }
    IdentifyResult fresh;
    fresh.campReply = true;
    fresh.protocolError = payload.size() > 2 && payload[2] == 'F';
    const int firstWord = camp_wire::kReplyFirstWordPos - 1;
    if (!fresh.protocolError && payload.size() >= firstWord + 4 && payload.startsWith("05")) {
        fresh.v0Word = QString::fromLatin1(payload.mid(firstWord, 4).toUpper());
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
    const QByteArray payload = checkedPayload(data);
    if (payload.size() > 2 && payload[2] == 'F') {
        if (errorReply) {
            *errorReply = true;
        }
        return QStringList();
    }
    const int countPos = camp_wire::kReplyCountPos - 1;
    const int firstWord = camp_wire::kReplyFirstWordPos - 1;
    quint32 count = 0;
    if (payload.size() <= countPos + 1 || !payload.startsWith("05") ||
        !camp_wire::decodeHex(payload.constData() + countPos, 2, count)) {
        return QStringList();
    }
    if (count == 0) {
        count = camp_wire::kMaxReadWords;
    }
    // A reply shorter than it announces still gives the whole words it holds.
    const int held = qMax(0, (payload.size() - firstWord) / 4);
    QStringList words;
    for (int i = 0; i < qMin(static_cast<int>(count), held); ++i) {
        words.append(QString::fromLatin1(payload.mid(firstWord + 4 * i, 4).toUpper()));
    }
    return words;
}

QMap<QString, QString> identityFromStwWords(const QStringList& words)
{
    if (words.size() < 3) {
        return {};
    }
    quint32 values[3] = {0, 0, 0}; // a word that is not four hex digits counts as 0
    for (int i = 0; i < 3; ++i) {
        const QByteArray word = words[i].toLatin1();
        if (word.size() != 4 || !camp_wire::decodeHex(word.constData(), 4, values[i])) {
            values[i] = 0;
        }
    }
    return identityFromStwValues(static_cast<quint16>(values[0]), static_cast<quint16>(values[1]),
                                 static_cast<quint16>(values[2]));
}

QMap<QString, QString> identityFromStwValues(quint16 serial, quint16 firmwareMajor,
                                             quint16 firmwareMinor)
{
    QMap<QString, QString> identity;
    if (serial != 0) {
        identity.insert(QStringLiteral("serial"), QString::number(serial));
    }
    if (firmwareMajor != 0 || firmwareMinor != 0) {
        identity.insert(QStringLiteral("firmware"),
                        QStringLiteral("%1.%2").arg(firmwareMajor).arg(firmwareMinor));
    }
    return identity;
}

} // namespace CampDiscovery
