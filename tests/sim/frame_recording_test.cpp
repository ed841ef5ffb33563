// The recording format a recorded module is replayed from: the checked-in recording reads back
// line for line as it is written, every byte value survives its escaping, and a line that is not
// a frame is refused with its line number.
#include "frame_recording.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace camp_sim;

TEST(FrameRecording, TheRecordingReadsBackAsItIsWritten)
{
    QFile file(QStringLiteral(KIB_TEST_DATA_DIR "/module_recording.txt"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QList<RecordedFrame> frames;
    QString error;
    ASSERT_TRUE(parseRecording(text, &frames, &error)) << error.toStdString();
    QByteArrayList written;
    for (const RecordedFrame& frame : frames) {
        written.append(recordingLine(frame));
    }
    QByteArrayList lines;
    for (const QByteArray& line : text.split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#')) {
            lines.append(line);
        }
    }
    EXPECT_EQ(written, lines);
    ASSERT_EQ(frames.size(), 11);
    EXPECT_EQ(frames.last(), (RecordedFrame{3026090, 3, false, "\r\n[0500010000010112340372]"}));

    QByteArray everyByte;
    for (int byte = 0; byte < 256; ++byte) {
        everyByte += static_cast<char>(byte);
    }
    QByteArray back;
    ASSERT_TRUE(unescapeFrame(escapedFrame(everyByte), &back));
    EXPECT_EQ(back, everyByte);
    EXPECT_EQ(escapedFrame("[a\\ b]\x7F\x01"), QByteArray("[a\\\\\\x20b]\\x7F\\x01"));
}

TEST(FrameRecording, ALineThatIsNoFrameIsNamed)
{
    const struct
    {
        const char* line;
        const char* error;
    } rows[] = {
        {"12.34 1 send [X]", "line 3: the time \"12.34\" is not milliseconds with three decimals"},
        {"-1.000 1 send [X]", "line 3: the time \"-1.000\" is not milliseconds"},
        {"1.000 0 send [X]", "line 3: the connection \"0\" is not a number from 1"},
        {"1.000 1 sent [X]", "line 3: the direction \"sent\" is neither send nor recv"},
        {"1.000 1 send [X\\x0d]", "line 3: the frame is empty or has a byte"},
        {"1.000 1 send [X\\q]", "line 3: the frame is empty or has a byte"},
        {"1.000 1 send [X]\r", "line 3: the frame is empty or has a byte"},
        {"1.000 1 send [X] [Y]", "line 3: not MS CONN DIR FRAME"},
        {"1.000  1 send [X]", "line 3: not MS CONN DIR FRAME"},
        {"1.000 1 recv", "line 3: not MS CONN DIR FRAME"},
        {" # not a comment", "line 3: not MS CONN DIR FRAME"},
    };
    for (const auto& row : rows) {
        QList<RecordedFrame> frames;
        QString error;
        const QByteArray text = QByteArray("# a comment\n0.000 1 send [X]\n") + row.line + "\n";
        EXPECT_FALSE(parseRecording(text, &frames, &error)) << row.line;
        EXPECT_TRUE(error.startsWith(QLatin1String(row.error))) << error.toStdString();
    }
}
