// The soak's own judgement: a fault schedule that gives a short run every kind of fault, one at a
// time per module, a memory pattern that tells a value read from the wrong word or time, and a
// write audit that catches every way a write can go astray. A soak whose oracle could not fail
// would pass whatever the plugin did.
#include "fault_schedule.h"
#include "oracle_pattern.h"
#include "plc_memory.h"
#include "simulated_plc.h"
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

// The timeline of a 60 s run with 4 modules (scripts/test.sh): faults from the end of the warm-up
// until the recovery bound and a few seconds before the end. In the soak's own namespace every kind
// is dealt; without one, every kind but those that need it.
TEST(SoakSchedule, AShortRunSeesEveryKindOneFaultAtATimePerModule)
{
    const Timeline timeline = timelineFor(60);
    for (const bool inNamespace : {true, false}) {
        for (unsigned seed = 0; seed < 100; ++seed) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << ", namespace " << inNamespace);
            const std::vector<FaultEvent> schedule =
                makeSchedule(seed, 4, timeline.warmUpMs, timeline.lastFaultEndMs, inNamespace);
            std::set<FaultKind> kinds;
            std::vector<int> moduleFree(4, 0);
            for (const FaultEvent& event : schedule) {
                kinds.insert(event.kind);
                EXPECT_GE(event.startMs, timeline.warmUpMs);
                EXPECT_LE(event.endMs(), timeline.lastFaultEndMs);
                EXPECT_GE(event.startMs, moduleFree[size_t(event.module)])
                    << event.describe().toStdString();
                moduleFree[size_t(event.module)] = event.endMs();
                if (event.kind == FaultKind::Slow) {
                    EXPECT_GT(event.setting, kDeviceTimeoutMs);
                }
                if (event.kind == FaultKind::NameServerSilent) { // room for its restart
                    EXPECT_GE(event.durationMs, kShortestSilenceMs);
                }
                EXPECT_TRUE(inNamespace || !needsNamespace(event.kind))
                    << event.describe().toStdString();
            }
            ASSERT_EQ(size_t(inNamespace ? kFaultKinds : kFaultKinds - 2), kinds.size());
        }
    }
    const auto schedule = [&](unsigned seed) {
        return makeSchedule(seed, 4, timeline.warmUpMs, timeline.lastFaultEndMs, true);
    };
    EXPECT_EQ(schedule(7).size(), schedule(7).size()); // the seed repeats it
    EXPECT_EQ(schedule(7).back().describe(), schedule(7).back().describe());
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

// The memory pattern the soak reads: each word tells its place and time: neighbours, the same
// address in another class and words a block apart all differ; a word passes only within its
// generations (which wrap at 256); the program fills the ranges it is given and leaves the rest
// alone.
TEST(OraclePattern, EachWordTellsItsPlaceAndGeneration)
{
    using namespace camp_sim;
    const quint8 v100 = patternMark(kClassV, 100);
    for (const auto& other : {std::make_pair(int(kClassV), 101u),
                              {kClassV, 99u},
                              {kClassK, 100u},
                              {kClassV, 356u},
                              {kClassV, 100u + 65536u}}) {
        EXPECT_NE(v100, patternMark(other.first, other.second)) << other.second;
    }
    const quint16 word = patternWord(kClassV, 100, 7);
    EXPECT_EQ(v100, word >> 8);
    EXPECT_TRUE(isPatternWordWithin(word, kClassV, 100, 5, 9));
    EXPECT_TRUE(isPatternWordWithin(word, kClassV, 100, 256 + 5,
                                    256 + 9)); // the round wraps
    EXPECT_TRUE(isPatternWordWithin(patternWord(kClassV, 100, 1), kClassV, 100, 250, 260));
    EXPECT_FALSE(isPatternWordWithin(word, kClassV, 100, 8, 9)); // too old
    EXPECT_FALSE(isPatternWordWithin(word, kClassV, 100, 3, 6)); // not yet
    EXPECT_FALSE(isPatternWordWithin(word, kClassV, 101, 7, 7)); // another word's

    QList<WordRange> ranges;
    QString error;
    for (const char* bad : {"", "V", "V3-1", "V0-2", "Q1-2", "V1-2,"}) {
        EXPECT_FALSE(parseWordRanges(bad, &ranges, &error)) << bad;
    }
    ASSERT_TRUE(parseWordRanges("V1-3, wx17", &ranges, &error)) << error.toStdString();
    PlcMemory memory;
    memory.setWord(kClassV, 4, 0xBEEF);
    OraclePattern(ranges).apply(memory, 9);
    for (quint32 address = 1; address <= 3; ++address) {
        EXPECT_EQ(patternWord(kClassV, address, 9), memory.word(kClassV, address));
    }
    EXPECT_EQ(patternWord(kClassWX, 17, 9), memory.word(kClassWX, 17));
    EXPECT_EQ(0xBEEF, memory.word(kClassV, 4)); // outside the ranges: left alone
}
