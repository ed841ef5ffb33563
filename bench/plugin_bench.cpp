// The in-process benchmarks: what one poll costs the host's thread, how many frames it sends
// beside the fewest the block rule allows, the pieces of that cost, one loopback round trip, and
// the same word counts read through libmodbus, as raw registers and as the same values stored in
// the same request. The simulated PLC answers at once, on its own threads, so the CPU time
// measured (the polling thread's) is the plugin's and its kernel calls'.

#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>

#include "app_camp_nitp.h"
#include "bench_support.h"
#include "camp_handler.h"
#include "modbus_peer.h"
#include "modbus_records.h"
#include "poll_plan.h"

using namespace bench;

namespace {

// One simulated PLC and one plugin object for every benchmark of the run.
struct Environment
{
    Environment() : plc(roomyPlc())
    {
        plc.setKeptRequestLimit(0);
        started = plc.start();
    }

    camp_sim::SimulatedPlc plc;
    App_CAMP_NITP plugin;
    bool started = false;
    int nextDeviceId = 1;
};

Environment& environment()
{
    static Environment instance;
    return instance;
}

// A poll request of one item set, kept between runs of its benchmark like a host keeps it.
struct PollCase
{
    std::vector<ItemSpec> items;
    LogList log;
    int blockMinimum = 0;
};

PollCase& pollCase(Shape shape, int count)
{
    static std::map<std::pair<Shape, int>, std::unique_ptr<PollCase>> cases;
    std::unique_ptr<PollCase>& slot = cases[{shape, count}];
    if (!slot) {
        Environment& env = environment();
        slot = std::make_unique<PollCase>();
        slot->items = makeItems(shape, count);
        slot->log = pollRequest(env.nextDeviceId++, env.plc.port(), slot->items);
        slot->blockMinimum = blockRuleMinimum(slot->items);
        fillMemory(env.plc, slot->items);
    }
    return *slot;
}

bool skipUnlessStarted(benchmark::State& state)
{
    if (environment().started) {
        return false;
    }
    state.SkipWithError("the simulated PLC did not start");
    return true;
}

bool pollOnce(benchmark::State& state, LogList& log)
{
    environment().plugin.readData(&log);
    const QString problem = pollProblem(log);
    if (problem.isEmpty()) {
        return true;
    }
    state.SkipWithError(problem.toUtf8().constData());
    return false;
}

// One host poll of a whole item set. Counters: the items, the frames one poll sent, the fewest
// the block rule allows, and the frames of a one-read-per-item loop.
void pollBenchmark(benchmark::State& state, Shape shape, int count)
{
    if (skipUnlessStarted(state)) {
        return;
    }
    PollCase& poll = pollCase(shape, count);
    if (!pollOnce(state, poll.log)) {
        return;
    }
    const qint64 userBefore = threadUserNs();
    for (auto _ : state) {
        environment().plugin.readData(&poll.log);
    }
    state.counters["user_ns_per_poll"] = double(threadUserNs() - userBefore) / state.iterations();

    camp_sim::SimulatedPlc& plc = environment().plc;
    plc.resetCounters();
    if (!pollOnce(state, poll.log)) {
        return;
    }
    state.counters["items"] = count;
    state.counters["frames_per_poll"] = plc.requestCount();
    state.counters["block_rule_min"] = poll.blockMinimum;
    state.counters["one_per_item"] = count;
}

DeviceInstancePlugin plcDevice()
{
    DeviceInstancePlugin device;
    device.address = QStringLiteral("127.0.0.1");
    device.columns.insert(QStringLiteral("port"), QString::number(environment().plc.port()));
    device.columns.insert(QStringLiteral("timeout"), QStringLiteral("5000"));
    return device;
}

// Reads V1 .. V(words) with the driver alone, 256 words a request: raw words, no values.
void driverReadBenchmark(benchmark::State& state)
{
    if (skipUnlessStarted(state)) {
        return;
    }
    const int words = static_cast<int>(state.range(0));
    fillMemory(environment().plc, denseItems(words));
    DeviceInstancePlugin device = plcDevice();
    CAMP_NITP driver;
    if (!driver.connectToPLC(&device)) {
        state.SkipWithError("no connection");
        return;
    }
    int requests = 0;
    Words received;
    const qint64 userBefore = threadUserNs();
    for (auto _ : state) {
        requests = 0;
        for (int first = 0; first < words; first += camp_wire::kMaxReadWords, ++requests) {
            const int count = std::min<int>(camp_wire::kMaxReadWords, words - first);
            received.clear();
            if (!driver.readMemoryBlock(AddressClass::V, static_cast<quint32>(first + 1),
                                        static_cast<quint16>(count), received, nullptr)) {
                state.SkipWithError("read failed");
                return;
            }
        }
    }
    state.counters["user_ns_per_poll"] = double(threadUserNs() - userBefore) / state.iterations();
    state.counters["words"] = words;
    state.counters["requests_per_poll"] = requests;
}

// The same word counts through libmodbus, from its own server on loopback: raw registers.
void modbusReadBenchmark(benchmark::State& state)
{
    const int words = static_cast<int>(state.range(0));
    ModbusServer server(0);
    ModbusClient client;
    if (!server.start() || !client.connect(server.port())) {
        state.SkipWithError("no libmodbus server");
        return;
    }
    std::vector<uint16_t> registers;
    int requests = 0;
    const qint64 userBefore = threadUserNs();
    for (auto _ : state) {
        requests = client.readWords(words, registers);
        if (requests < 0) {
            state.SkipWithError("libmodbus read failed");
            return;
        }
    }
    state.counters["user_ns_per_poll"] = double(threadUserNs() - userBefore) / state.iterations();
    state.counters["words"] = words;
    state.counters["requests_per_poll"] = requests;
}

// The dense item sets of the plugin's polls through libmodbus, each value converted and stored in
// the request as the plugin does: the peer's cost for the same result.
void modbusPollBenchmark(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    ModbusServer server(0);
    ModbusClient client;
    if (!server.start() || !client.connect(server.port())) {
        state.SkipWithError("no libmodbus server");
        return;
    }
    LogList log =
        pollRequest(1, static_cast<quint16>(server.port()), makeItems(Shape::Dense, count));
    ModbusRecordPoll peer(client);
    int requests = 0;
    const qint64 userBefore = threadUserNs();
    for (auto _ : state) {
        requests = peer.poll(log);
        if (requests < 0) {
            state.SkipWithError("libmodbus read failed");
            return;
        }
    }
    state.counters["user_ns_per_poll"] = double(threadUserNs() - userBefore) / state.iterations();
    const QString problem = pollProblem(log);
    if (!problem.isEmpty()) {
        state.SkipWithError(problem.toUtf8().constData());
        return;
    }
    state.counters["items"] = count;
    state.counters["requests_per_poll"] = requests;
}

// One request and its reply on loopback: a one-word read, wall time.
void roundTripBenchmark(benchmark::State& state)
{
    if (skipUnlessStarted(state)) {
        return;
    }
    DeviceInstancePlugin device = plcDevice();
    CAMP_NITP driver;
    if (!driver.connectToPLC(&device)) {
        state.SkipWithError("no connection");
        return;
    }
    Words received;
    for (auto _ : state) {
        received.clear();
        if (!driver.readMemoryBlock(AddressClass::V, 1, 1, received, nullptr)) {
            state.SkipWithError("read failed");
            return;
        }
    }
}

// ---- the pieces of a poll, without a network ----------------------------------------------

void readFrameBenchmark(benchmark::State& state)
{
    quint32 address = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(camp_wire::readRequest(AddressClass::V, address, 256));
        address = (address + 256) & 0xFFFF;
    }
}

QByteArray fullReply()
{
    camp_sim::PlcMemory memory;
    for (quint32 address = 1; address <= 256; ++address) {
        memory.setWord(camp_sim::kClassV, address, static_cast<quint16>(0x4161 + address));
    }
    return camp_sim::handleRequest(camp_wire::readRequest(AddressClass::V, 1, 256), memory);
}

// A 256-word reply: framed out of the received bytes and cut into words.
void parseReplyBenchmark(benchmark::State& state)
{
    const QByteArray reply = fullReply();
    Words words;
    for (auto _ : state) {
        const camp_wire::FrameScan scan = camp_wire::scanFrame(reply);
        words.clear();
        CAMP_NITP::parseReadResponse(scan.frame, 256, words, nullptr);
        benchmark::DoNotOptimize(words.data());
    }
    state.counters["words"] = 256;
}

// 256 Integer items cut out of one block's words, converted and stored in the request.
void assignValuesBenchmark(benchmark::State& state)
{
    const std::vector<ItemSpec> items = denseItems(256);
    LogList log = pollRequest(1, 1, items);
    std::vector<App_CAMP_NITP::ReadSpan> spans;
    for (int i = 0; i < log.items.size(); ++i) {
        App_CAMP_NITP::ReadSpan span;
        span.dataItem = &log.items[i];
        span.addressClass = AddressClass::V;
        span.startAddress = items[static_cast<size_t>(i)].start;
        span.wordCount = 1;
        spans.push_back(span);
    }
    Words words;
    const QByteArray reply = fullReply();
    CAMP_NITP::parseReadResponse(reply, 256, words, nullptr);
    for (auto _ : state) {
        App_CAMP_NITP::assignBlockValues(spans, 0, spans.size(), 1, words);
    }
    state.counters["items"] = 256;
}

// Planning starts from each item's columns: class, start and word count.
void addressRangeBenchmark(benchmark::State& state)
{
    const std::vector<ItemSpec> specs = makeItems(Shape::Mixed, 256);
    std::vector<ItemInstancePlugin> items;
    for (size_t i = 0; i < specs.size(); ++i) {
        items.push_back(toItem(specs[i], static_cast<int>(i)));
    }
    for (auto _ : state) {
        for (const ItemInstancePlugin& item : items) {
            AddressClass cls = AddressClass::V;
            quint32 address = 0;
            quint16 count = 0;
            benchmark::DoNotOptimize(CAMP_NITP::itemAddressRange(item, cls, address, count));
        }
    }
    state.counters["items"] = 256;
}

// Whether the kept plan still serves a request of 1,000 dense items whose records are new objects
// of the same content (a host that builds them for every poll), two such requests taking turns.
void planCheckBenchmark(benchmark::State& state)
{
    const std::vector<ItemSpec> items = denseItems(1000);
    const LogList log = pollRequest(1, 1, items);
    const BlockLimits limits = BlockLimits::of(log);
    const PollPlan plan(log.items, log.id, limits);
    const LogList inTurns[] = {withNewRecords(log), withNewRecords(log)};
    size_t polls = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(plan.isFor(inTurns[polls++ % 2].items, limits));
    }
    state.counters["items"] = 1000;
}

void registerBenchmarks()
{
    for (Shape shape : kShapes) {
        for (int count : {10, 100, 1000, 10000}) {
            const std::string name =
                std::string("poll/") + shapeName(shape) + "/" + std::to_string(count);
            benchmark::RegisterBenchmark(name.c_str(), pollBenchmark, shape, count)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    benchmark::RegisterBenchmark("driver_read", driverReadBenchmark)
        ->Arg(100)
        ->Arg(1000)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("modbus_read", modbusReadBenchmark)
        ->Arg(100)
        ->Arg(1000)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("modbus_poll", modbusPollBenchmark)
        ->Arg(100)
        ->Arg(1000)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("loopback_round_trip", roundTripBenchmark)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("piece/read_frame", readFrameBenchmark);
    benchmark::RegisterBenchmark("piece/parse_reply_256", parseReplyBenchmark);
    benchmark::RegisterBenchmark("piece/assign_values_256", assignValuesBenchmark);
    benchmark::RegisterBenchmark("piece/address_range_256", addressRangeBenchmark);
    benchmark::RegisterBenchmark("piece/plan_check_new_records_1000", planCheckBenchmark)
        ->Unit(benchmark::kMicrosecond);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    registerBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
