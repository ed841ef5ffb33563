#include "diagnostic_lines.h"

#include "camp_wire.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

Q_LOGGING_CATEGORY(lcCampDiagnostics, "kib.camp_nitp.diagnostics", QtWarningMsg)
Q_LOGGING_CATEGORY(lcCampFrames, "kib.camp_nitp.frames", QtWarningMsg)

void printDiagnostic(const char* format, ...)
{
    if (!lcCampDiagnostics().isWarningEnabled()) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}

int nextConnectionNumber()
{
    static std::atomic<int> opened{0};
    return ++opened;
}

void traceFrame(int connection, FrameDirection direction, const QByteArray& frame)
{
    if (!lcCampFrames().isDebugEnabled()) {
        return;
    }
    const char* word = direction == FrameDirection::Sent ? "send" : "recv";
    qCDebug(lcCampFrames, "%d %s %s", connection, word,
            camp_wire::printableFrame(frame).constData());
}
