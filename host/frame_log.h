#pragma once
// What kib-host shows of the wire. With --verbose every frame the plugin sends and receives goes
// to standard error as it happens; with --record FILE the same lines go into the file, for a
// person to send back or for camp-sim --replay. One line a frame:
//
//   MS CONN DIR FRAME
//   12.345 1 send [0400010000640100010062]
//
// MS: milliseconds since the command started, three decimals; CONN: the connection's number, 1 for
// the first one the process opened; DIR: "send" (to the module) or "recv" (from it); FRAME: the
// bytes as they went over the wire, "!" to "~" as they are but the backslash (written "\\"),
// every other byte as \xHH. Nothing else goes into a recording.
//
// The plugin's frames come through its logging category (kib.camp_nitp.frames), which the plugin
// and kib-host share as one process.

#include <QByteArray>
#include <QString>

namespace kib_host {

enum class FrameDirection { Sent, Received };

class FrameLog
{
public:
    // Starts showing and/or recording frames (nothing when both are off). False, with a message,
    // when the recording file cannot be opened.
    static bool start(bool verbose, const QString& recordPath, QString* error);
    // Keeps the driver's lines on standard error ("CAMP_NITP error ...") to --verbose: the
    // shell commands show the same failure in their table or JSON.
    static void hideDriverLines();
    // A frame of kib-host's own connections (a command that speaks to a module itself).
    static void frame(int connection, FrameDirection direction, const QByteArray& bytes);
    // Whether frames are shown or recorded at all.
    static bool isOn();
};

} // namespace kib_host
