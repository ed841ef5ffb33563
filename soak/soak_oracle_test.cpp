// The soak's own judgement: a fault schedule that gives a short run every kind of fault, one at a
// time per module, and a write audit that catches every way a write can go astray. A soak whose
// oracle could not fail would pass whatever the plugin did.
#include "fault_schedule.h"
#include "soak_plan.h"
#include "write_ledger.h"

#include <gtest/gtest.h>

#include <set>

using namespace soak;
using camp_sim::JournalEntry;

namespace {

JournalEntry carriedOut(const WrittenItem& item, quint16 word)
{
    return {item.addressClass, item.address, {word}};
}

// A ledger of three writes to every item, the middle one of V2001 not confirmed, and the journal
// of a module that carried out exactly what was acknowledged.
struct WriteHistory
{
    WriteLedger ledger;
    QList<JournalEntry> journal;
    QList<quint16> memory;

    WriteHistory()
    {
        const QList<WrittenItem> items = writtenItems();
        for (int round = 1; round <= 3; ++round) {
            for (int i = 0; i < items.size(); ++i) {
                quint16 value = quint16(round % 2);
                if (!items[i].discrete) {
                    ledger.nextValue(i, &value);
                }
                const bool confirmed = !(i == 0 && round == 2);
                ledger.record(i, value,
                              confirmed ? WriteOutcome::Written : WriteOutcome::NotConfirmed);
                const quint16 word =
                    items[i].discrete ? quint16((kDiscreteWordPreset & ~1u) | value) : value;
                if (confirmed) {
                    journal.append(carriedOut(items[i], word));
                }
            }
        }
        for (const WrittenItem& item : items) {
            memory.append(item.discrete ? quint16((kDiscreteWordPreset & ~1u) | 1) : 3);
        }
    }
};

} // namespace

// The timeline of a 60 s run with 4 modules (scripts/test.sh): faults from 10 s to 54.9 s.
TEST(SoakSchedule, AShortRunSeesEveryKindOneFaultAtATimePerModule)
{
    for (unsigned seed = 0; seed < 100; ++seed) {
        SCOPED_TRACE(seed);
        const std::vector<FaultEvent> schedule = makeSchedule(seed, 4, 10000, 54900);
        std::set<FaultKind> kinds;
        std::vector<int> moduleFree(4, 0);
        for (const FaultEvent& event : schedule) {
            kinds.insert(event.kind);
            EXPECT_GE(event.startMs, 10000);
            EXPECT_LE(event.endMs(), 54900);
            EXPECT_GE(event.startMs, moduleFree[size_t(event.module)])
                << event.describe().toStdString();
            moduleFree[size_t(event.module)] = event.endMs();
            if (event.kind == FaultKind::Slow) {
                EXPECT_GT(event.setting, kDeviceTimeoutMs);
            }
        }
        ASSERT_EQ(size_t(kFaultKinds), kinds.size());
    }
    const std::vector<FaultEvent> schedule = makeSchedule(7, 4, 10000, 54900);
    EXPECT_EQ(schedule.size(), makeSchedule(7, 4, 10000, 54900).size()); // the seed repeats it
    EXPECT_EQ(schedule.back().describe(), makeSchedule(7, 4, 10000, 54900).back().describe());
}

TEST(SoakWriteAudit, WhatWasAcknowledgedIsCarriedOutOnceAndKept)
{
    WriteHistory run;
    const WriteAudit audit = run.ledger.audit(run.journal, run.memory);
    EXPECT_EQ(0, audit.lost + audit.duplicated + audit.wrong)
        << audit.findings.join('\n').toStdString();

    // A write not confirmed may have been carried out, once.
    run.journal.insert(1, carriedOut(writtenItems()[0], 2));
    EXPECT_EQ(0, run.ledger.audit(run.journal, run.memory).findings.size());
}

TEST(SoakWriteAudit, CatchesLostDuplicatedStrayAndClobberedWrites)
{
    const QList<WrittenItem> items = writtenItems();
    {
        WriteHistory run; // an acknowledged write the module never carried out
        run.journal.removeAt(0);
        EXPECT_EQ(1, run.ledger.audit(run.journal, run.memory).lost);
    }
    {
        WriteHistory run; // carried out twice, the second time after a later write
        run.journal.append(run.journal.first());
        const WriteAudit audit = run.ledger.audit(run.journal, run.memory);
        EXPECT_EQ(1, audit.duplicated);
        EXPECT_EQ(1, audit.lost); // V2001's last write carried out is 1, memory holds 3
    }
    {
        WriteHistory run; // a value the host never wrote
        run.journal.append(carriedOut(items[2], 40));
        run.memory[2] = 40;
        EXPECT_EQ(1, run.ledger.audit(run.journal, run.memory).wrong);
    }
    {
        WriteHistory run; // an older write carried out after the last acknowledged one
        run.journal.append(carriedOut(items[3], 1));
        run.memory[3] = 1;
        const WriteAudit audit = run.ledger.audit(run.journal, run.memory);
        EXPECT_EQ(1, audit.lost);
        EXPECT_EQ(1, audit.duplicated);
    }
    {
        WriteHistory run; // memory that does not hold the last write carried out
        run.memory[1] = 2;
        EXPECT_EQ(1, run.ledger.audit(run.journal, run.memory).lost);
    }
    {
        WriteHistory run; // a discrete write that changed more than bit 0
        run.journal.append(carriedOut(items[4], 0x0001));
        run.memory[4] = 0x0001;
        EXPECT_EQ(1, run.ledger.audit(run.journal, run.memory).wrong);
    }
}
