#pragma once
// What the driver and the plugin tell a person beside the records: lines on standard error for
// the plant engineer, and a trace of every frame for troubleshooting the wire. Both go through
// Qt's logging categories, which every module of the process shares, so a host can switch them
// with logging rules (QLoggingCategory::setFilterRules or QT_LOGGING_RULES):
//   kib.camp_nitp.diagnostics.warning=false  silences the lines (a host that shows the same
//                                             failures its own way);
//   kib.camp_nitp.frames.debug=true           traces the frames, one debug message each.

#include <QByteArray>
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcCampDiagnostics)
Q_DECLARE_LOGGING_CATEGORY(lcCampFrames)

// One line on standard error, unless the host silenced them. The format is printf's; the line
// is written as it stands (no category prefix), ending in the newline the format gives.
void printDiagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The number of a new TCP connection to a module: 1 for the first the process opens.
int nextConnectionNumber();

// One frame in the trace: "N send FRAME" or "N recv FRAME", N the connection's number and FRAME
// the bytes in camp_wire::printableFrame's form.
enum class FrameDirection { Sent, Received };
void traceFrame(int connection, FrameDirection direction, const QByteArray& frame);
