// A PLC's written words kept in a file, as a battery-backed PLC keeps its memory through a power
// cycle: every write that changed memory is appended as one line, "V2001 0005" (class label and
// address, then the words in hex), before the write is answered, and at start the lines are
// replayed into memory in order. The file also tells a test every write the PLC carried out.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

namespace camp_sim {

class SimulatedPlc;

struct JournalEntry
{
    int addressClass = 0;
    quint32 address = 0;
    QList<quint16> words;
};

QByteArray journalLine(const JournalEntry& entry); // with its "\n"
bool parseJournalLine(const QByteArray& line, JournalEntry* entry);

// The entries of a journal file; a last line without its "\n" was never finished (the process
// died while writing it) and is left out. False with a reason when the file cannot be read or a
// line is not a journal line; a missing file is an empty journal.
bool readJournal(const QString& path, QList<JournalEntry>* entries, QString* error);

// Replays the file into the PLC's memory and appends every later write to it. Call it before
// start(); the file stays open as long as the PLC. False with a reason when the file cannot be
// read or written, or an entry lies outside memory.
bool attachWriteJournal(const QString& path, SimulatedPlc& plc, QString* error);

} // namespace camp_sim
