#include "console.h"

#include <QDateTime>

#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace kib_host {

namespace {

std::mutex& outputMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::atomic<bool> interrupted{false};
std::atomic<bool> lostOutput{false};

// False when the stream could not take the whole text.
bool write(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::lock_guard<std::mutex> lock(outputMutex());
    const size_t written =
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    return std::fflush(stream) == 0 && written == static_cast<size_t>(bytes.size());
}

extern "C" void onInterrupt(int signalNumber)
{
    interrupted.store(true);
    // The user asked twice: stop waiting for probes and polls in flight.
    std::signal(signalNumber, SIG_DFL);
}

} // namespace

void printOut(const QString& text)
{
    // SIGPIPE is ignored in this process (the plugin sets that): a reader that has gone shows as a
    // failed write, which must end the command rather than let it poll on for nobody.
    if (lostOutput.load() || write(stdout, text)) {
        return;
    }
    lostOutput.store(true);
    interrupted.store(true);
}

bool outputLost()
{
    return lostOutput.load();
}

void printErr(const QString& text)
{
    write(stderr, text);
}

int fail(int status, const QString& message)
{
    printErr(QStringLiteral("kib-host: %1\n").arg(message));
    return status;
}

bool stderrIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

QString jsonString(const QString& text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QString Table::render(const QString& indent) const
{
    QList<int> widths;
    for (const QStringList& row : rows) {
        for (int i = 0; i < row.size(); ++i) {
            if (i >= widths.size()) {
                widths.append(0);
            }
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    QString text;
    for (const QStringList& row : rows) {
        QString line = indent;
        for (int i = 0; i < row.size(); ++i) {
            const bool last = i + 1 == row.size();
            line += last ? row[i] : row[i].leftJustified(widths[i] + 2);
        }
        while (line.endsWith(QLatin1Char(' '))) {
            line.chop(1);
        }
        text += line + QLatin1Char('\n');
    }
    return text;
}

std::atomic<bool>& interruptFlag()
{
    return interrupted;
}

void installInterruptHandler()
{
    static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores it");
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

bool waitUntil(const QElapsedTimer& clock, qint64 dueMs)
{
    for (;;) {
        if (interruptFlag().load()) {
            return false;
        }
        const qint64 remaining = dueMs - clock.elapsed();
        if (remaining <= 0) {
            return true;
        }
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(remaining, 50)));
    }
}

RoundSchedule::RoundSchedule(int rounds, int intervalMs) : rounds(rounds), intervalMs(intervalMs)
{
    clock.start();
}

bool RoundSchedule::next()
{
    if (rounds > 0 && done >= rounds) {
        return false;
    }
    skipped = 0;
    if (intervalMs > 0 && lastStart >= 0) {
        const qint64 now = clock.elapsed();
        while (now >= beat + intervalMs || beat < lastStart + intervalMs / 2) {
            beat += intervalMs;
            ++skipped;
        }
    }
    if (!waitUntil(clock, beat)) {
        return false;
    }
    lastStart = clock.elapsed();
    beat += intervalMs;
    ++done;
    return true;
}

QString RoundSchedule::roundTitle() const
{
    return rounds > 0 ? QStringLiteral("Round %1 of %2").arg(done).arg(rounds)
                      : QStringLiteral("Round %1").arg(done);
}

QString skippedNote(int skipped)
{
    if (skipped == 0) {
        return QString();
    }
    return QStringLiteral(", %1 %2 skipped to keep the interval")
        .arg(skipped)
        .arg(skipped == 1 ? QStringLiteral("round") : QStringLiteral("rounds"));
}

QString timestamp()
{
    // Local time goes through the C library's time zone state (tzset), which two device threads
    // must not set up at once.
    static std::mutex localTime;
    std::lock_guard<std::mutex> lock(localTime);
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

} // namespace kib_host
