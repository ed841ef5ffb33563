#include "frame_log.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "camp_wire.h"

namespace kib_host {

namespace {

const char kFrameCategory[] = "kib.camp_nitp.frames";

struct FrameSink
{
    std::mutex mutex;
    QElapsedTimer clock;
    bool verbose = false;
    std::FILE* recording = nullptr;
    QtMessageHandler nextHandler = nullptr;
};

FrameSink& sink()
{
    static FrameSink frames;
    return frames;
}

void writeLine(const QByteArray& text)
{
    FrameSink& frames = sink();
    std::lock_guard<std::mutex> lock(frames.mutex);
    const QByteArray line =
        QByteArray::number(double(frames.clock.nsecsElapsed()) / 1e6, 'f', 3) + ' ' + text + '\n';
    if (frames.verbose) {
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    }
    if (frames.recording) {
        std::fwrite(line.constData(), 1, size_t(line.size()), frames.recording);
        std::fflush(frames.recording); // a command ended by Ctrl-C keeps every line
    }
}

// The plugin's trace messages are already "CONN DIR FRAME"; every other message goes on as before.
void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (context.category && qstrcmp(context.category, kFrameCategory) == 0) {
        writeLine(message.toLatin1());
        return;
    }
    sink().nextHandler(type, context, message);
}

// Logging rules set here add up; QT_LOGGING_RULES in the environment still has the last word.
void addLoggingRule(const QString& rule)
{
    static QStringList rules;
    rules.append(rule);
    QLoggingCategory::setFilterRules(rules.join(QLatin1Char('\n')));
}

} // namespace

bool FrameLog::start(bool verbose, const QString& recordPath, QString* error)
{
    if (!verbose && recordPath.isEmpty()) {
        return true;
    }
    FrameSink& frames = sink();
    if (!recordPath.isEmpty()) {
        frames.recording = std::fopen(QFile::encodeName(recordPath).constData(), "w");
        if (!frames.recording) {
            *error = QStringLiteral("cannot write the recording %1: %2")
                         .arg(recordPath, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    frames.verbose = verbose;
    frames.clock.start();
    frames.nextHandler = qInstallMessageHandler(handleMessage);
    addLoggingRule(QStringLiteral("kib.camp_nitp.frames.debug=true"));
    return true;
}

void FrameLog::hideDriverLines()
{
    addLoggingRule(QStringLiteral("kib.camp_nitp.diagnostics.warning=false"));
}

void FrameLog::frame(int connection, FrameDirection direction, const QByteArray& bytes)
{
    if (!isOn()) {
        return;
    }
    writeLine(QByteArray::number(connection) +
              (direction == FrameDirection::Sent ? " send " : " recv ") +
              camp_wire::printableFrame(bytes));
}

bool FrameLog::isOn()
{
    return sink().verbose || sink().recording;
}

} // namespace kib_host
