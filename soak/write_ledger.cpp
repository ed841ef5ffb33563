#include "write_ledger.h"

namespace soak {

WriteLedger::WriteLedger()
    : m_items(writtenItems()),
      m_outcomes(size_t(m_items.size()), std::vector<WriteOutcome>(65536, WriteOutcome::Unsent)),
      m_lastValue(size_t(m_items.size()), 0)
{
}

bool WriteLedger::nextValue(int item, quint16* value)
{
    quint16& last = m_lastValue[size_t(item)];
    if (last == 65535) {
        return false;
    }
    *value = ++last;
    return true;
}

void WriteLedger::record(int item, quint16 value, WriteOutcome outcome)
{
    ++m_entries;
    if (outcome == WriteOutcome::Written) {
        ++m_written;
    }
    if (!m_items[item].discrete) {
        m_outcomes[size_t(item)][value] = outcome;
    }
}

WriteAudit WriteLedger::audit(const QList<camp_sim::JournalEntry>& journal,
                              const QList<quint16>& memoryNow) const
{
    WriteAudit audit;
    for (int i = 0; i < m_items.size(); ++i) {
        const WrittenItem& item = m_items[i];
        QList<quint16> carriedOut;
        for (const camp_sim::JournalEntry& entry : journal) {
            if (entry.addressClass == item.addressClass && entry.address == item.address &&
                entry.words.size() == 1) {
                carriedOut.append(entry.words.first());
            }
        }
        if (item.discrete) {
            auditDiscreteItem(carriedOut, memoryNow.value(i), audit);
        } else {
            auditWordItem(i, carriedOut, memoryNow.value(i), audit);
        }
    }
    return audit;
}

void WriteLedger::auditWordItem(int item, const QList<quint16>& carriedOut, quint16 memoryNow,
                                WriteAudit& audit) const
{
    const QString label = itemLabel(m_items[item].addressClass, m_items[item].address);
    const std::vector<WriteOutcome>& outcomes = m_outcomes[size_t(item)];
    std::vector<int> times(65536, 0);
    for (const quint16 value : carriedOut) {
        ++times[value];
    }
    quint16 lastWritten = 0;
    for (int value = 1; value <= m_lastValue[size_t(item)]; ++value) {
        const WriteOutcome outcome = outcomes[size_t(value)];
        if (outcome == WriteOutcome::Written) {
            lastWritten = quint16(value);
            if (times[size_t(value)] == 0) {
                ++audit.lost;
                audit.findings << QStringLiteral("%1 = %2 was acknowledged but never carried out")
                                      .arg(label)
                                      .arg(value);
            }
        }
        if (times[size_t(value)] > 1) {
            ++audit.duplicated;
            audit.findings << QStringLiteral("%1 = %2 was carried out %3 times")
                                  .arg(label)
                                  .arg(value)
                                  .arg(times[size_t(value)]);
        }
    }
    for (const quint16 value : carriedOut) {
        if (value == 0 || value > m_lastValue[size_t(item)] ||
            outcomes[value] == WriteOutcome::Unsent) {
            ++audit.wrong;
            audit.findings
                << QStringLiteral("%1 = %2 was carried out, never written").arg(label).arg(value);
        }
    }
    // Values rise, so the word at the end is the last acknowledged one or a later one.
    const quint16 lastCarriedOut = carriedOut.isEmpty() ? 0 : carriedOut.last();
    if (memoryNow != lastCarriedOut || memoryNow < lastWritten) {
        ++audit.lost;
        audit.findings << QStringLiteral("%1 holds %2 at the end; last carried out %3, last "
                                         "acknowledged %4")
                              .arg(label)
                              .arg(memoryNow)
                              .arg(lastCarriedOut)
                              .arg(lastWritten);
    }
}

void WriteLedger::auditDiscreteItem(const QList<quint16>& carriedOut, quint16 memoryNow,
                                    WriteAudit& audit) const
{
    const quint16 otherBits = kDiscreteWordPreset & ~1u;
    for (const quint16 word : carriedOut) {
        if ((word & ~1u) != otherBits) {
            ++audit.wrong;
            audit.findings << QStringLiteral("Y101 was written %1: bits other than bit 0 changed")
                                  .arg(word, 4, 16, QLatin1Char('0'));
        }
    }
    const quint16 expected = carriedOut.isEmpty() ? kDiscreteWordPreset : carriedOut.last();
    if (memoryNow != expected) {
        ++audit.lost;
        audit.findings << QStringLiteral("Y101 holds %1 at the end, last carried out %2")
                              .arg(memoryNow, 4, 16, QLatin1Char('0'))
                              .arg(expected, 4, 16, QLatin1Char('0'));
    }
}

} // namespace soak
