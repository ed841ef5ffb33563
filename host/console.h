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

} // namespace kib_host
