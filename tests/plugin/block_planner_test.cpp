// The block planner's merging rules as golden rows, without a socket or a PLC: a gap of at most
// 16 unread words, at most 256 words a block, one class a block, spans sorted by class, start and
// length, overlapping and contained spans, and a span alone above 256 words; the same under a
// module's tighter limits; the requests a poll plan is kept for; the connection budget
// a refusing module lowers; and an off-scan device's retry period, on a clock of the test's own.

#include <QThread>
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "app_camp_nitp.h"
#include "block_planner.h"
#include "camp_session.h"
#include "device_columns.h"
#include "kib_requests.h"
#include "poll_plan.h"
#include "simulated_plc.h"

namespace {

struct Span
{
    qint32 cls;
    quint32 start;
    quint16 count;
};

// A block: class, start, words, and how many spans it serves.
using Block = std::tuple<qint32, quint32, quint16, size_t>;

std::vector<Block> plan(const std::vector<Span>& input, const BlockLimits& limits)
{
    std::vector<ReadSpan> spans;
    for (const Span& s : input) {
        ReadSpan span;
        span.addressClass = s.cls;
        span.startAddress = s.start;
        span.wordCount = s.count;
        spans.push_back(span);
    }
    std::vector<Block> blocks;
    size_t next = 0;
    for (const ReadBlock& b : planBlocks(spans, limits)) {
        EXPECT_EQ(b.firstSpan, next); // blocks cover the sorted spans in order, each once
        next = b.lastSpan;
        blocks.emplace_back(b.addressClass, b.startAddress, b.wordCount, b.lastSpan - b.firstSpan);
    }
    EXPECT_EQ(next, spans.size());
    return blocks;
}

std::vector<Span> everySixteenthFrom0To240(Span last)
{
    std::vector<Span> spans;
    for (quint32 a = 0; a <= 240; a += 16) {
        spans.push_back({1, a, 1});
    }
    spans.push_back(last);
    return spans;
}

std::vector<Span> oneWordEach(quint32 first, quint32 last)
{
    std::vector<Span> spans;
    for (quint32 a = first; a <= last; ++a) {
        spans.push_back({1, a, 1});
    }
    return spans;
}

BlockLimits limitedTo(quint32 blockWords, quint32 gapWords = kMaxGapWords)
{
    BlockLimits limits;
    limits.blockWords = blockWords;
    limits.gapWords = gapWords;
    return limits;
}

} // namespace

TEST(BlockPlanner, MergesByTheBlockRules)
{
    enum { V = 1, K = 2, STW = 26 };
    const struct
    {
        const char* name;
        std::vector<Span> spans;
        std::vector<Block> blocks;
        BlockLimits limits = BlockLimits();
    } rows[] = {
        {"nothing to read", {}, {}},
        {"16 words between: one block", {{V, 100, 1}, {V, 117, 1}}, {{V, 100, 18, 2}}},
        {"17 words between: two blocks",
         {{V, 100, 1}, {V, 118, 1}},
         {{V, 100, 1, 1}, {V, 118, 1, 1}}},
        {"every 16th word up to V255 fills 256",
         everySixteenthFrom0To240({V, 255, 1}),
         {{V, 0, 256, 17}}},
        {"V256 would make 257: a second block",
         everySixteenthFrom0To240({V, 256, 1}),
         {{V, 0, 241, 16}, {V, 256, 1, 1}}},
        {"V0 and V255 alone", {{V, 0, 1}, {V, 255, 1}}, {{V, 0, 1, 1}, {V, 255, 1, 1}}},
        {"a Float overlapping an Integer", {{V, 10, 2}, {V, 11, 1}}, {{V, 10, 2, 2}}},
        {"a span inside a String", {{V, 15, 1}, {V, 10, 21}}, {{V, 10, 21, 2}}},
        {"the same word twice", {{V, 7, 1}, {V, 7, 1}}, {{V, 7, 1, 2}}},
        {"classes never merge", {{K, 5, 1}, {V, 5, 1}}, {{V, 5, 1, 1}, {K, 5, 1, 1}}},
        {"sorted by class, then start",
         {{STW, 259, 3}, {K, 9, 1}, {V, 300, 1}, {V, 1, 1}},
         {{V, 1, 1, 1}, {V, 300, 1, 1}, {K, 9, 1, 1}, {STW, 259, 3, 1}}},
        {"a String above 256 words goes alone",
         {{V, 1, 300}, {V, 301, 1}},
         {{V, 1, 300, 1}, {V, 301, 1, 1}}},
        {"a block ends where 256 would be passed",
         {{V, 1, 200}, {V, 150, 100}, {V, 240, 30}},
         {{V, 1, 249, 2}, {V, 240, 30, 1}}},
        {"the widest 16-bit span keeps its count", {{V, 0, 0xFFFF}}, {{V, 0, 0xFFFF, 1}}},
        // A module's tighter limits: never a word more a block, and still the fewest blocks.
        {"200 words at 64 a block: 4 blocks",
         oneWordEach(1, 200),
         {{V, 1, 64, 64}, {V, 65, 64, 64}, {V, 129, 64, 64}, {V, 193, 8, 8}},
         limitedTo(64)},
        {"a block of 10 ends one word before the 11th",
         {{V, 1, 1}, {V, 10, 1}, {V, 11, 1}},
         {{V, 1, 10, 2}, {V, 11, 1, 1}},
         limitedTo(10)},
        {"a gap of 4 words joins, one of 5 does not",
         {{V, 100, 1}, {V, 105, 1}, {V, 111, 1}},
         {{V, 100, 6, 2}, {V, 111, 1, 1}},
         limitedTo(256, 4)},
        {"no gap: neighbours only",
         {{V, 1, 1}, {V, 2, 2}, {V, 5, 1}},
         {{V, 1, 3, 2}, {V, 5, 1, 1}},
         limitedTo(256, 0)},
        {"a String above the limit is read whole, with the spans it holds",
         {{V, 20, 1}, {V, 10, 100}, {V, 10, 1}, {V, 110, 1}},
         {{V, 10, 100, 3}, {V, 110, 1, 1}},
         limitedTo(64)},
        {"a String above the limit never joins what lies before it",
         {{V, 0, 1}, {V, 5, 100}},
         {{V, 0, 1, 1}, {V, 5, 100, 1}},
         limitedTo(64)},
        {"a block of one word",
         {{V, 1, 1}, {V, 2, 1}, {V, 2, 2}},
         {{V, 1, 1, 1}, {V, 2, 2, 2}},
         limitedTo(1)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(plan(row.spans, row.limits), row.blocks) << row.name;
    }
}

TEST(BlockPlanner, ConvertDataReadsTheClassAndTypeColumns)
{
    ItemInstancePlugin item;
    item.columns.insert(QStringLiteral("address_class"), QStringLiteral("1"));
    item.columns.insert(QStringLiteral("data_type"), QStringLiteral("1"));
    EXPECT_EQ(App_CAMP_NITP::convertData(&item, {0xFFFE}), QStringLiteral("-2"));
    item.columns.insert(QStringLiteral("address_class"), QStringLiteral("7"));
    EXPECT_EQ(App_CAMP_NITP::convertData(&item, {0xFFFF}), QStringLiteral("1"));
    item.columns.insert(QStringLiteral("address_class"), QStringLiteral("Y"));
    EXPECT_EQ(App_CAMP_NITP::convertData(&item, {0xFFFF}), QStringLiteral("-1"));
    EXPECT_EQ(App_CAMP_NITP::convertData(&item, {}), QString());
}

TEST(BlockPlanner, TheConnectionsColumnReadsAsOneToEight)
{
    const QList<QPair<const char*, int>> rows = {{"1", 1},  {"", 1},   {"0", 1},   {"abc", 1},
                                                 {"99", 8}, {"-3", 1}, {" 4 ", 4}, {"8", 8}};
    for (const auto& row : rows) {
        DeviceInstancePlugin device;
        device.columns.insert(QStringLiteral("connections"), QLatin1String(row.first));
        EXPECT_EQ(pollConnections(device), row.second) << '"' << row.first << '"';
    }
    EXPECT_EQ(pollConnections(DeviceInstancePlugin()), 1);
}

// A plan is used again only for records of the same columns and uids in the same order, whether
// they are the host's own or new objects; the plan keeps flat copies of them, so a text that moved
// from one record to its neighbour must not pass for the same request.
TEST(PollPlan, IsKeptForRecordsOfTheSameContentOnly)
{
    using namespace kib_requests;
    QList<DataItem> planned;
    for (const char* uid : {"ab", "c", "d"}) {
        planned.append(entry(memoryItem(QLatin1String(uid), 1, QStringLiteral("100"), Integer)));
    }
    planned[0].item.columns.insert(QStringLiteral("note"), QStringLiteral("x"));
    ItemInstancePlugin bare; // no columns at all
    bare.uid = QStringLiteral("e");
    planned.append(entry(bare));
    const PollPlan plan(planned, 7, BlockLimits());

    const auto unshared = [](const QString& text) {
        return QString(text.constData(), text.size());
    };
    const auto renewed = [&](QList<DataItem> items, bool shareTexts) {
        for (DataItem& data : items) {
            QMap<QString, QString> columns;
            for (auto it = data.item.columns.cbegin(); it != data.item.columns.cend(); ++it) {
                columns.insert(shareTexts ? it.key() : unshared(it.key()),
                               shareTexts ? it.value() : unshared(it.value()));
            }
            data.item.columns = columns;
            data.item.uid = unshared(data.item.uid);
        }
        return items;
    };
    using Change = std::function<void(QList<DataItem>&)>;
    const std::vector<std::tuple<const char*, Change, bool>> rows = {
        {"the same records", [](QList<DataItem>&) {}, true},
        {"new records, texts of their own", [&](auto& r) { r = renewed(r, false); }, true},
        {"new records sharing the texts", [&](auto& r) { r = renewed(r, true); }, true},
        {"a text changed", [](auto& r) { r[2].item.columns["address_word"] = "101"; }, false},
        {"a column renamed",
         [](auto& r) { r[0].item.columns["notes"] = r[0].item.columns.take("note"); }, false},
        {"a column added", [](auto& r) { r[1].item.columns["note"] = "x"; }, false},
        {"a column given to a record without", [](auto& r) { r[3].item.columns["note"] = "x"; },
         false},
        {"a column removed", [](auto& r) { r[0].item.columns.remove("note"); }, false},
        {"a column moved to the next record",
         [](auto& r) { r[1].item.columns["note"] = r[0].item.columns.take("note"); }, false},
        {"a uid's last character moved to the next uid",
         [](auto& r) {
             r[0].item.uid = "a";
             r[1].item.uid = "bc";
         },
         false},
        {"a uid changed, same length", [](auto& r) { r[2].item.uid = "e"; }, false},
        {"two records swapped", [](auto& r) { r.swapItemsAt(1, 2); }, false},
        {"a record fewer", [](auto& r) { r.removeLast(); }, false},
    };
    // Each change made to the host's own records, and to new ones.
    for (const QList<DataItem>& start : {planned, renewed(planned, false)}) {
        for (const auto& [what, change, kept] : rows) {
            QList<DataItem> request = start;
            change(request);
            EXPECT_EQ(plan.isFor(request, BlockLimits()), kept) << what;
            if (kept) {
                EXPECT_FALSE(plan.isFor(request, limitedTo(64))) << what << ", other limits";
            }
        }
    }
}

// A module that refused a connection lowers what a session uses; a minute later the configured
// number is tried again, so that a module that was full for a while gets its connections back.
TEST(ConnectionBudget, ARefusalLowersItUntilAMinuteHasPassed)
{
    ConnectionBudget budget;
    EXPECT_EQ(budget.allowed(8, 0), 8);
    EXPECT_EQ(budget.allowed(3, 0), 3);
    budget.lowerTo(2, 1000);
    EXPECT_EQ(budget.allowed(8, 1000 + ConnectionBudget::kRetryAfterMs - 1), 2);
    EXPECT_EQ(budget.allowed(1, 1000 + ConnectionBudget::kRetryAfterMs - 1), 1);
    EXPECT_EQ(budget.allowed(8, 1000 + ConnectionBudget::kRetryAfterMs), 8);
    budget.lowerTo(0, 5000); // the first connection is always used
    EXPECT_EQ(budget.allowed(8, 5000), 1);
}

// Off-scan, the module is watched with a probe; the call after its answer goes to the network.
// Should that call fail too, nothing is tried, not even a probe, for a retry period. The clock is
// the test's: only the probe's connection and reply are real.
TEST(DeviceHealth, AfterAFailedAttemptNothingIsTriedForARetryPeriod)
{
    camp_sim::SimulatedPlc plc;
    ASSERT_TRUE(plc.start());
    DeviceInstancePlugin device;
    device.address = QStringLiteral("127.0.0.1");
    device.columns = {{"port", QString::number(plc.port())},
                      {"offscan_after", "1"},
                      {"offscan_retry_ms", "60000"}};
    const HealthSettings settings = HealthSettings::of(device);
    DeviceHealth health;
    ASSERT_TRUE(health.admit(device, settings, 0));
    EXPECT_TRUE(health.record(false, true, QStringLiteral("Timed out"), settings));
    const auto admittedBy = [&](qint64 from) {
        for (qint64 now = from; now < from + 500; ++now) {
            if (health.admit(device, settings, now)) {
                return true;
            }
            QThread::msleep(10);
        }
        return false;
    };
    EXPECT_TRUE(admittedBy(1000)); // the probe was answered
    EXPECT_TRUE(device.errorText.startsWith("Off-scan since ")) << device.errorText.toStdString();
    EXPECT_FALSE(health.record(false, true, QStringLiteral("Timed out again"), settings));
    const int probes = plc.requestCount();
    for (qint64 now = 2000; now < 1000 + 60000; now += 5000) {
        EXPECT_FALSE(health.admit(device, settings, now));
    }
    EXPECT_EQ(plc.requestCount(), probes);
    EXPECT_TRUE(admittedBy(1600 + 60000));
    EXPECT_FALSE(health.record(true, false, QString(), settings));
    EXPECT_FALSE(health.isOffScan());
}
