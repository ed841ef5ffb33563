// What the host was told about each write of one device, and the check of what the module
// carried out (its journal) and holds (its memory) against it.
#pragma once

#include "soak_plan.h"
#include "write_journal.h"

#include <QList>
#include <QStringList>

#include <vector>

namespace soak {

enum class WriteOutcome : quint8 {
    Unsent,
    Written,      // acknowledged: the entry has no error text
    Failed,       // the entry has an error text: it was not written, or refused
    NotConfirmed, // "Not confirmed: ...": its reply was lost, the entry may or may not be in
};

struct WriteAudit
{
    int lost = 0;       // acknowledged and not carried out, or not in memory at the end
    int duplicated = 0; // carried out more than once
    int wrong = 0;      // carried out with a value the host never wrote, or other bits changed
    QStringList findings;
};

class WriteLedger
{
public:
    WriteLedger();

    // Word items: the next value of the item's sequence (1, 2, 3 ...), none past 65535.
    bool nextValue(int item, quint16* value);
    void record(int item, quint16 value, WriteOutcome outcome);
    int entries() const { return m_entries; }
    int written() const { return m_written; }

    // `journal`: every write the module carried out, in memory order; `memoryNow`: the written
    // items' words at the end, read from the module without faults.
    WriteAudit audit(const QList<camp_sim::JournalEntry>& journal,
                     const QList<quint16>& memoryNow) const;

private:
    void auditWordItem(int item, const QList<quint16>& carriedOut, quint16 memoryNow,
                       WriteAudit& audit) const;
    void auditDiscreteItem(const QList<quint16>& carriedOut, quint16 memoryNow,
                           WriteAudit& audit) const;

    QList<WrittenItem> m_items;
    // Per item, the outcome of each value: made and touched before the measurements begin, so
    // that it costs no memory while the soak runs.
    std::vector<std::vector<WriteOutcome>> m_outcomes;
    std::vector<quint16> m_lastValue;
    int m_entries = 0;
    int m_written = 0;
};

} // namespace soak
