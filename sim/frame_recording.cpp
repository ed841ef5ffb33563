#include "frame_recording.h"

#include <QFile>
#include <QRegularExpression>

namespace camp_sim {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

int upperHexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool isPlain(unsigned char byte)
{
    return byte >= 0x21 && byte <= 0x7E && byte != '\\';
}

} // namespace

QByteArray escapedFrame(const QByteArray& bytes)
{
    QByteArray text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (isPlain(byte)) {
            text += c;
        } else if (c == '\\') {
            text += "\\\\";
        } else {
            text += "\\x";
            text += kHexDigits[byte >> 4];
            text += kHexDigits[byte & 0xF];
        }
    }
    return text;
}

bool unescapeFrame(const QByteArray& text, QByteArray* bytes)
{
    QByteArray result;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (isPlain(static_cast<unsigned char>(c))) {
            result += c;
        } else if (c == '\\' && text.mid(i + 1, 1) == "\\") {
            result += '\\';
            i += 1;
        } else if (c == '\\' && text.mid(i + 1, 1) == "x" && i + 3 < text.size() &&
                   upperHexValue(text[i + 2]) >= 0 && upperHexValue(text[i + 3]) >= 0) {
            result +=
                static_cast<char>(upperHexValue(text[i + 2]) << 4 | upperHexValue(text[i + 3]));
            i += 3;
        } else {
            return false;
        }
    }
    *bytes = result;
    return !result.isEmpty();
}

QByteArray recordingLine(const RecordedFrame& frame)
{
    const QByteArray ms = QByteArray::number(frame.microseconds / 1000) + '.' +
                          QByteArray::number(frame.microseconds % 1000).rightJustified(3, '0');
    return ms + ' ' + QByteArray::number(frame.connection) + (frame.sent ? " send " : " recv ") +
           escapedFrame(frame.bytes);
}

bool parseRecordingLine(const QByteArray& line, RecordedFrame* frame, QString* reason)
{
    const QList<QByteArray> fields = line.split(' ');
    if (fields.size() != 4) {
        *reason = QStringLiteral("not MS CONN DIR FRAME, four fields separated by one space");
        return false;
    }
    static const QRegularExpression time(QStringLiteral("^(\\d{1,15})\\.(\\d{3})$"));
    static const QRegularExpression connection(QStringLiteral("^[1-9]\\d{0,8}$"));
    const QRegularExpressionMatch at = time.match(QString::fromLatin1(fields[0]));
    RecordedFrame parsed;
    if (!at.hasMatch()) {
        *reason = QStringLiteral("the time \"%1\" is not milliseconds with three decimals")
                      .arg(QString::fromLatin1(fields[0]));
        return false;
    }
    parsed.microseconds = at.captured(1).toLongLong() * 1000 + at.captured(2).toLongLong();
    if (!connection.match(QString::fromLatin1(fields[1])).hasMatch()) {
        *reason = QStringLiteral("the connection \"%1\" is not a number from 1")
                      .arg(QString::fromLatin1(fields[1]));
        return false;
    }
    parsed.connection = fields[1].toInt();
    if (fields[2] != "send" && fields[2] != "recv") {
        *reason = QStringLiteral("the direction \"%1\" is neither send nor recv")
                      .arg(QString::fromLatin1(fields[2]));
        return false;
    }
    parsed.sent = fields[2] == "send";
    if (!unescapeFrame(fields[3], &parsed.bytes)) {
        *reason = QStringLiteral("the frame is empty or has a byte not written as it is, \\\\ or "
                                 "\\xHH (upper-case hex)");
        return false;
    }
    *frame = parsed;
    return true;
}

bool parseRecording(const QByteArray& text, QList<RecordedFrame>* frames, QString* error)
{
    QList<RecordedFrame> parsed;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        if (line.isEmpty() || line.startsWith('#')) {
            continue;
        }
        RecordedFrame frame;
        QString reason;
        if (!parseRecordingLine(line, &frame, &reason)) {
            *error = QStringLiteral("line %1: %2").arg(i + 1).arg(reason);
            return false;
        }
        parsed.append(frame);
    }
    *frames = parsed;
    return true;
}

bool readRecordingFile(const QString& path, QList<RecordedFrame>* frames, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the recording %1: %2").arg(path, file.errorString());
        return false;
    }
    if (!parseRecording(file.readAll(), frames, error)) {
        *error = QStringLiteral("%1: %2").arg(path, *error);
        return false;
    }
    return true;
}

} // namespace camp_sim
