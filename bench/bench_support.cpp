#include "bench_support.h"

#include <QFile>
#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <map>
#include <random>
#include <sys/resource.h>
#include <tuple>

namespace bench {

namespace {

enum Class { V = 1, K = 2, X = 6, Y = 7, C = 8, WX = 9, WY = 10 };
enum Type { Bit = 0, Integer = 1, Unsigned = 2, Float = 3, String = 4 };

// Fixed seeds: every run polls the same sets.
constexpr unsigned kSeed = 9;

int pick(std::mt19937& random, int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(random);
}

std::vector<ItemSpec> scatteredItems(int count, std::mt19937& random)
{
    std::vector<ItemSpec> items;
    quint32 next = 1;
    for (int i = 0; i < count; ++i) {
        items.push_back({V, next, 1, Integer});
        next += 1 + static_cast<quint32>(pick(random, 0, 40));
    }
    return items;
}

ItemSpec mixedItem(int addressClass, quint32 start, std::mt19937& random)
{
    if (addressClass == X || addressClass == Y || addressClass == C) {
        return {addressClass, start, 1, Bit};
    }
    const int roll = pick(random, 0, 99);
    if (roll < 40) {
        return {addressClass, start, 1, Integer};
    }
    if (roll < 60) {
        return {addressClass, start, 1, Unsigned};
    }
    if (roll < 85) {
        return {addressClass, start, 2, Float};
    }
    return {addressClass, start, static_cast<quint16>(pick(random, 2, 8)), String};
}

std::vector<ItemSpec> mixedItems(int count, std::mt19937& random)
{
    // Class shares in percent: V 35, K 15, WX 10, WY 10, X 10, Y 10, C 10.
    const std::pair<int, int> shares[] = {{V, 35}, {K, 50}, {WX, 60}, {WY, 70},
                                          {X, 80}, {Y, 90}, {C, 100}};
    std::map<int, quint32> cursor;
    std::map<int, ItemSpec> previous;
    std::vector<ItemSpec> items;
    for (int i = 0; i < count; ++i) {
        const int roll = pick(random, 0, 99);
        int addressClass = V;
        for (const auto& share : shares) {
            if (roll < share.second) {
                addressClass = share.first;
                break;
            }
        }
        // A few items repeat or overlap their neighbour, as hosts' lists do.
        if (previous.count(addressClass) && pick(random, 0, 99) < 3) {
            items.push_back(previous[addressClass]);
            continue;
        }
        quint32& next = cursor.emplace(addressClass, 1).first->second;
        const ItemSpec item = mixedItem(addressClass, next, random);
        items.push_back(item);
        previous[addressClass] = item;
        next = item.start + item.words + static_cast<quint32>(pick(random, 0, 20));
    }
    return items;
}

QString addressWord(const ItemSpec& spec)
{
    if (spec.dataType == String) {
        return QStringLiteral("%1-%2").arg(spec.start).arg(spec.start + spec.words - 1);
    }
    return QString::number(spec.start);
}

} // namespace

const char* shapeName(Shape shape)
{
    switch (shape) {
    case Shape::Dense:
        return "dense";
    case Shape::Scattered:
        return "scattered";
    case Shape::Mixed:
        return "mixed";
    }
    return "?";
}

std::vector<ItemSpec> denseItems(int count, quint32 first)
{
    std::vector<ItemSpec> items;
    for (int i = 0; i < count; ++i) {
        items.push_back({V, first + static_cast<quint32>(i), 1, Integer});
    }
    return items;
}

std::vector<ItemSpec> makeItems(Shape shape, int count)
{
    std::mt19937 random(kSeed + static_cast<unsigned>(count));
    std::vector<ItemSpec> items;
    switch (shape) {
    case Shape::Dense:
        items = denseItems(count);
        break;
    case Shape::Scattered:
        items = scatteredItems(count, random);
        break;
    case Shape::Mixed:
        items = mixedItems(count, random);
        break;
    }
    std::shuffle(items.begin(), items.end(), random);
    return items;
}

int blockRuleMinimum(std::vector<ItemSpec> items)
{
    std::sort(items.begin(), items.end(), [](const ItemSpec& a, const ItemSpec& b) {
        return std::tie(a.addressClass, a.start, a.words) <
               std::tie(b.addressClass, b.start, b.words);
    });
    // fewest[i]: the fewest blocks that read the first i items. A block from item j on may take
    // the following items while each starts within 16 words of the block's end so far and the
    // block stays within 256 words.
    const size_t n = items.size();
    std::vector<int> fewest(n + 1, INT_MAX);
    fewest[0] = 0;
    for (size_t j = 0; j < n; ++j) {
        const int blocks = fewest[j] + 1;
        const quint32 blockStart = items[j].start;
        quint32 end = blockStart + items[j].words - 1;
        fewest[j + 1] = std::min(fewest[j + 1], blocks);
        for (size_t k = j + 1; k < n && items[k].addressClass == items[j].addressClass; ++k) {
            if (items[k].start > end + kMaxGapWords + 1) {
                break;
            }
            const quint32 newEnd = std::max(end, items[k].start + items[k].words - 1);
            if (newEnd - blockStart + 1 > kMaxBlockWords) {
                break;
            }
            end = newEnd;
            fewest[k + 1] = std::min(fewest[k + 1], blocks);
        }
    }
    return fewest[n];
}

ItemInstancePlugin toItem(const ItemSpec& spec, int index)
{
    ItemInstancePlugin item;
    item.uid = QStringLiteral("item_%1").arg(index);
    item.name = item.uid;
    item.columns.insert(QStringLiteral("address_class"), QString::number(spec.addressClass));
    item.columns.insert(QStringLiteral("address_word"), addressWord(spec));
    item.columns.insert(QStringLiteral("data_type"), QString::number(spec.dataType));
    return item;
}

LogList pollRequest(int deviceId, quint16 port, const std::vector<ItemSpec>& items)
{
    LogList log;
    log.id = deviceId;
    log.name = QStringLiteral("bench-%1").arg(deviceId);
    log.address = QStringLiteral("127.0.0.1");
    log.columns.insert(QStringLiteral("port"), QString::number(port));
    log.columns.insert(QStringLiteral("timeout"), QStringLiteral("5000"));
    for (size_t i = 0; i < items.size(); ++i) {
        log.items.append(DataItem(toItem(items[i], static_cast<int>(i))));
    }
    return log;
}

LogList withNewRecords(const LogList& log)
{
    LogList copy = log;
    for (DataItem& entry : copy.items) {
        entry.item.columns.detach();
        entry.item.uid = QString(entry.item.uid.constData(), entry.item.uid.size());
    }
    return copy;
}

QString pollProblem(const LogList& log)
{
    if (!log.errorText.isEmpty()) {
        return QStringLiteral("device: ") + log.errorText;
    }
    for (const DataItem& entry : log.items) {
        if (!entry.item.errorText.isEmpty()) {
            return entry.item.uid + QStringLiteral(": ") + entry.item.errorText;
        }
        if (!entry.values.contains(QStringLiteral("value"))) {
            return entry.item.uid + QStringLiteral(": no value");
        }
    }
    return QString();
}

OneCore::OneCore()
{
    const int core = sched_getcpu();
    if (core < 0 || sched_getaffinity(0, sizeof before, &before) != 0) {
        return;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(core, &one);
    isPinned = sched_setaffinity(0, sizeof one, &one) == 0;
}

OneCore::~OneCore()
{
    if (isPinned) {
        sched_setaffinity(0, sizeof before, &before);
    }
}

camp_sim::PlcConfig roomyPlc()
{
    camp_sim::PlcConfig config;
    config.serial = 812;
    config.firmwareMajor = 4;
    config.firmwareMinor = 10;
    config.maxConnections = 1024;
    for (int addressClass : {V, K, X, Y, C, WX, WY}) {
        config.memorySizes.insert(addressClass, 1u << 20);
    }
    return config;
}

void fillMemory(camp_sim::SimulatedPlc& plc, const std::vector<ItemSpec>& items)
{
    for (const ItemSpec& item : items) {
        for (quint32 i = 0; i < item.words; ++i) {
            const quint32 address = item.start + i;
            const quint16 high = static_cast<quint16>('A' + address % 26);
            const quint16 low = static_cast<quint16>('a' + (address / 26) % 26);
            plc.setWord(item.addressClass, address, static_cast<quint16>(high << 8 | low));
        }
    }
}

qint64 threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

qint64 threadUserNs()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return qint64(usage.ru_utime.tv_sec) * 1000000000 + qint64(usage.ru_utime.tv_usec) * 1000;
}

qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void preciseSleepMs(int ms)
{
    if (ms <= 0) {
        return;
    }
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

bool writeReport(const QString& path, const QJsonObject& report)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    file.write(QJsonDocument(report).toJson());
    return true;
}

} // namespace bench
