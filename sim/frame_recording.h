// A recording of the frames that went over a program's connections to modules, one line a frame:
//
//   MS CONN DIR FRAME
//   12.345 1 send [0400010000010100010368]
//
// MS: milliseconds since the recording started, with three decimals. CONN: the connection, 1 for
// the first one the recording program opened. DIR: "send" (to the module) or "recv" (from it).
// FRAME: the bytes as they went over the wire; 0x21 to 0x7E as they are, except the backslash,
// written "\\"; every other byte (space and control characters included) as "\xHH", two
// upper-case hex digits. Lines that start with "#" and empty lines are not frames.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

namespace camp_sim {

struct RecordedFrame
{
    qint64 microseconds = 0; // since the recording started
    int connection = 1;
    bool sent = true; // sent to the module, else received from it
    QByteArray bytes;

    bool operator==(const RecordedFrame& other) const
    {
        return microseconds == other.microseconds && connection == other.connection &&
               sent == other.sent && bytes == other.bytes;
    }
};

// The frame's bytes as FRAME writes them, and back (false when the text is not such a FRAME).
QByteArray escapedFrame(const QByteArray& bytes);
bool unescapeFrame(const QByteArray& text, QByteArray* bytes);

QByteArray recordingLine(const RecordedFrame& frame); // without a line end
// False with the reason when the line is not a frame line.
bool parseRecordingLine(const QByteArray& line, RecordedFrame* frame, QString* reason);

// The frames of a recording, in order. False with "line N: reason" for the first line that is
// neither a frame, a comment nor empty, or with the reason the file cannot be read.
bool parseRecording(const QByteArray& text, QList<RecordedFrame>* frames, QString* error);
bool readRecordingFile(const QString& path, QList<RecordedFrame>* frames, QString* error);

} // namespace camp_sim
