#pragma once
// Terminal output and Ctrl-C for kib-host: whole lines written under one lock (several host
// threads report at once), plain text tables, and an interrupt flag.

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <atomic>

namespace kib_host {

// Exit statuses of every command.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailed = 1,       // a device did not answer, or a write entry failed
    kExitUsage = 2,        // bad arguments, project file or plugin
    kExitOutputLost = 3,   // standard output could not be written (a closed pipe, a full disk)
    kExitInterrupted = 130 // Ctrl-C
};

// To standard output, as one piece. When it cannot be written (its reader has gone, the disk is
// full), nothing more is written there and the interrupt flag is set: the command ends as after
// Ctrl-C, and outputLost() tells main to exit with kExitOutputLost.
void printOut(const QString& text);
bool outputLost();
void printErr(const QString& text); // to standard error, as one piece
// "kib-host: <message>" on standard error; returns the status for a one-line exit.
int fail(int status, const QString& message);
bool stderrIsTerminal();

// A JSON string literal, quotes and escapes included.
QString jsonString(const QString& text);

// Columns padded to their widest cell; the last column is not padded.
class Table
{
public:
    explicit Table(const QStringList& headers) : rows{headers} {}
    void addRow(const QStringList& cells) { rows.append(cells); }
    int rowCount() const { return rows.size() - 1; }
    QString render(const QString& indent = QString()) const;

private:
    QList<QStringList> rows;
};

// Set by the first SIGINT or SIGTERM; a second one ends the process the usual way.
std::atomic<bool>& interruptFlag();
void installInterruptHandler();
// Sleeps until the clock reads dueMs; false when Ctrl-C came first.
bool waitUntil(const QElapsedTimer& clock, qint64 dueMs);

// The rounds of a poller on a steady rhythm: the k-th beat is k intervals after the start. A beat
// already missed by a whole interval, or less than half an interval after the last round began,
// is skipped, so rounds late after time-outs never come in a burst.
class RoundSchedule
{
public:
    // rounds 0: until Ctrl-C.
    RoundSchedule(int rounds, int intervalMs);
    // Waits for the next round's beat; false when every round is done or Ctrl-C came.
    bool next();
    int round() const { return done; }                 // the round now due, from 1
    int skippedBeforeRound() const { return skipped; } // beats skipped just before it
    QString roundTitle() const;                        // "Round 3 of 10", or "Round 3"

private:
    const int rounds;
    const qint64 intervalMs;
    QElapsedTimer clock;
    qint64 beat = 0;       // the next beat, in ms from the start
    qint64 lastStart = -1; // when the last round began
    int done = 0;
    int skipped = 0;
};

// ", 2 rounds skipped to keep the interval" after a round's title, or nothing.
QString skippedNote(int skipped);

// The time of day as ISO 8601 with milliseconds and the offset from UTC:
// 2026-12-08T14:03:07.125+01:00.
QString timestamp();

} // namespace kib_host
