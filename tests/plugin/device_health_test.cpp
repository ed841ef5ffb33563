// A dead module costs the host nothing: after "offscan_after" polls or writes that could not reach
// it, the device is off-scan and its calls fail at once, sending nothing of theirs, until the
// module answers a probe (a one-word read of V1) again. Status items tell the device's state
// without a frame on the wire. Counted, never timed: frames at the simulated PLC.

#include <QElapsedTimer>

#include "open_descriptors.h"
#include "plugin_fixture.h"

using namespace plugin_test;

namespace {

const QString kOffScan = QStringLiteral("Off-scan since ");

class DeviceHealthTest : public PluginTest
{
protected:
    LogList poll(const QMap<QString, QString>& columns, const QStringList& status = {})
    {
        QList<DataItem> items = {entry(memoryItem("v100", kClassV, "100", Integer))};
        for (const QString& name : status) {
            items.append(entry(memoryItem(name, kClassV, "__status." + name, String)));
        }
        LogList log = request(7, items);
        log.address = QStringLiteral("localhost"); // the off-scan probe resolves it too
        for (auto it = columns.cbegin(); it != columns.cend(); ++it) {
            log.columns.insert(it.key(), it.value());
        }
        polledOk = plugin->readData(&log);
        return log;
    }

    // The value of the status item `name` in a poll.
    static QString status(const LogList& log, const QString& name)
    {
        for (const DataItem& data : log.items) {
            if (data.item.uid == name) {
                EXPECT_TRUE(data.item.errorText.isEmpty()) << name.toStdString();
                return valueOf(data);
            }
        }
        return QStringLiteral("(none)");
    }

    // The poll's reads of V100 the PLC received (the probe reads V1).
    int pollReads() const
    {
        int reads = 0;
        for (const Frame& frame : frames("04")) {
            reads += frame.address == 100 ? 1 : 0;
        }
        return reads;
    }

    bool polledOk = false;
};

} // namespace

// A module that is gone (its port refuses) takes the device off-scan after exactly offscan_after
// failures; off-scan polls and writes fail at once with the off-scan text and send nothing of
// theirs; the module back, the first poll after it answered the probe is whole.
TEST_F(DeviceHealthTest, ADeadModuleGoesOffScanAndComesBack)
{
    const QMap<QString, QString> columns = {{"offscan_after", "3"}};
    const QStringList states = {"state"};
    setWords(kClassV, 100, {42});
    EXPECT_EQ(status(poll(columns, states), "state"), QStringLiteral("on-scan"));
    plugin->stopPlugin();
    ASSERT_TRUE(plc->waitForOpenConnections(0)); // the PLC's end closed too, before counting
    const int descriptors = openDescriptors();
    const quint16 port = plc->port();
    plc->stop();
    for (int failure = 1; failure <= 3; ++failure) {
        const LogList log = poll(columns, states);
        EXPECT_FALSE(polledOk);
        EXPECT_TRUE(log.errorText.startsWith("Couldn't connect to localhost:")) << failure;
        EXPECT_EQ(status(log, "state"), failure < 3 ? "on-scan" : "off-scan") << failure;
    }
    for (int offScanPoll = 0; offScanPoll < 3; ++offScanPoll) {
        const LogList log = poll(columns, states);
        EXPECT_FALSE(polledOk);
        EXPECT_TRUE(log.errorText.startsWith(kOffScan)) << log.errorText.toStdString();
        EXPECT_TRUE(log.errorText.contains("failures in a row: Couldn't connect to"));
        EXPECT_EQ(log.items[0].item.errorText, log.errorText);
    }
    LogList write = request(7, {entry(memoryItem("v100", kClassV, "100", Integer), "5")});
    write.columns.insert("offscan_after", "3");
    write.address = QStringLiteral("localhost"); // the polls' module
    EXPECT_FALSE(plugin->writeData(&write));
    EXPECT_TRUE(write.errorText.startsWith(kOffScan));
    EXPECT_EQ(write.items[0].item.errorText, "Not written: " + write.errorText);

    ASSERT_TRUE(plc->start(QStringLiteral("127.0.0.1"), port)) << plc->lastError().toStdString();
    setWords(kClassV, 100, {43});
    // The host polls on: one probe goes out, and the first poll after its answer is whole.
    LogList back;
    for (int polls = 0; !polledOk && polls < 500; ++polls) {
        QThread::msleep(10);
        back = poll(columns, states);
    }
    EXPECT_TRUE(polledOk) << back.errorText.toStdString();
    EXPECT_EQ(valueOf(back.items[0]), QStringLiteral("43"));
    EXPECT_EQ(status(back, "state"), QStringLiteral("on-scan"));
    EXPECT_EQ(plc->word(kClassV, 100), 43); // the off-scan write sent nothing
    const QList<Frame> received = frames("04");
    ASSERT_EQ(received.size(), 2);
    EXPECT_EQ(received[0].address, 1u); // the probe
    EXPECT_EQ(received[1].address, 100u);
    EXPECT_TRUE(frames("06").isEmpty());
    plugin->stopPlugin(); // every probe and connection closed again
    EXPECT_TRUE(plc->waitForOpenConnections(0));
    EXPECT_EQ(openDescriptors(), descriptors);
}

// A module that accepts connections but never answers (a stopped CPU behind a live Ethernet
// module) costs no time-out once off-scan: it never answers the probe. With offscan_after 0 every
// poll goes to it and waits, as before.
TEST_F(DeviceHealthTest, AModuleThatAcceptsButNeverAnswersCostsNothingOffScan)
{
    Faults faults;
    faults.silent = true;
    plc->setFaults(faults);
    const QMap<QString, QString> offScan = {{"offscan_after", "1"}, {"timeout", "100"}};
    for (int i = 0; i < 6; ++i) {
        const LogList log = poll(offScan);
        EXPECT_FALSE(polledOk);
        EXPECT_EQ(log.errorText.startsWith(kOffScan), i > 0) << log.errorText.toStdString();
    }
    EXPECT_EQ(pollReads(), 1);

    plugin->stopPlugin();
    plc->resetCounters();
    const QMap<QString, QString> never = {{"offscan_after", "0"}, {"timeout", "100"}};
    for (int i = 0; i < 4; ++i) {
        const LogList log = poll(never, {"state"});
        EXPECT_EQ(log.errorText, QStringLiteral("Timed out while reading a response from the PLC"));
        EXPECT_EQ(status(log, "state"), QStringLiteral("on-scan"));
    }
    EXPECT_TRUE(plc->waitForRequests(4));
    EXPECT_EQ(pollReads(), 4);
}

// Status items after a scripted sequence: a good poll, a poll whose reply is refused, a poll whose
// connection breaks, a good poll. They never make a frame and are never written.
TEST_F(DeviceHealthTest, StatusItemsTellTheDevicesStory)
{
    const QStringList names = {"state",        "error",      "last_error",      "polls_ok",
                               "polls_failed", "reconnects", "refused_replies", "round_trip_ms"};
    const QMap<QString, QString> columns;
    setWords(kClassV, 100, {7});
    EXPECT_EQ(status(poll(columns, names), "polls_ok"), QStringLiteral("1"));
    Faults faults;
    faults.readReplyAddressOffset = 1; // the module echoes: a reply for V101 is refused
    plc->setFaults(faults);
    LogList refused = poll(columns, names);
    EXPECT_EQ(status(refused, "refused_replies"), QStringLiteral("1"));
    EXPECT_EQ(status(refused, "error"), QStringLiteral("1"));
    EXPECT_EQ(status(refused, "last_error"), refused.errorText);
    faults = Faults();
    faults.closeMidReply = true;
    plc->setFaults(faults);
    LogList broken = poll(columns, names);
    EXPECT_EQ(status(broken, "last_error"),
              QStringLiteral("PLC closed the connection while reading a response from the PLC"));
    faults = Faults();
    faults.latencyMs = 20; // every reply 20 ms or more after its request
    plc->setFaults(faults);
    QElapsedTimer pollTime;
    pollTime.start();
    const LogList good = poll(columns, names);
    const qint64 pollMs = pollTime.elapsed();
    const QStringList expected = {"on-scan", "0", "", "2", "2", "2", "1"};
    for (int i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(status(good, names[i]), expected[i]) << names[i].toStdString();
    }
    bool isNumber = false;
    const QString roundTrip = status(good, "round_trip_ms");
    EXPECT_GE(roundTrip.toDouble(&isNumber), 20.0);
    EXPECT_LE(roundTrip.toDouble(), pollMs + 1.0); // a round trip within the poll it was timed in
    EXPECT_TRUE(isNumber && roundTrip.indexOf('.') == roundTrip.size() - 2)
        << roundTrip.toStdString();

    // Alone in a request, status items send nothing; an unknown name is an invalid address, and
    // a status item is never written.
    const int frames = plc->requestCount();
    LogList alone = request(7, {entry(memoryItem("state", kClassV, "__status.state", String)),
                                entry(memoryItem("colour", kClassV, "__status.colour", String))});
    EXPECT_TRUE(plugin->readData(&alone));
    EXPECT_EQ(valueOf(alone.items[0]), QStringLiteral("on-scan"));
    EXPECT_EQ(alone.items[1].item.errorText,
              QStringLiteral(
                  "Invalid address (address_word \"__status.colour\": no status of that name)"));
    LogList write =
        request(7, {entry(memoryItem("state", kClassV, "__status.state", String), "x")});
    EXPECT_TRUE(plugin->writeData(&write));
    EXPECT_EQ(write.items[0].item.errorText, QStringLiteral("Status items are read-only"));
    EXPECT_EQ(plc->requestCount(), frames);
    EXPECT_TRUE(HostConfig::instance().debugLines().filter("Writing").isEmpty()); // none asked
}

// A device pointed at another module (a replacement at a new port) keeps nothing of the old one:
// its further connections there are closed, and a device off-scan with a probe waiting on a hung
// module polls the new one at once, on-scan, with values.
TEST_F(DeviceHealthTest, AMovedDeviceKeepsNothingOfItsOldModule)
{
    PlcConfig config;
    config.maxConnections = 8;
    SimulatedPlc other(config);
    ASSERT_TRUE(other.start()) << other.lastError().toStdString();
    for (SimulatedPlc* module : {plc.get(), &other}) {
        for (quint32 address : {100u, 400u, 700u, 1000u}) {
            module->setWord(kClassV, address, module == plc.get() ? 1 : 2);
        }
    }
    QList<DataItem> fourBlocks;
    for (const char* word : {"100", "400", "700", "1000"}) {
        fourBlocks.append(
            entry(memoryItem(QLatin1String(word), kClassV, QLatin1String(word), Integer)));
    }
    LogList log = request(7, fourBlocks);
    log.columns.insert(QStringLiteral("connections"), QStringLiteral("4"));
    const auto valuesOf = [](const LogList& polled) {
        QStringList values;
        for (const DataItem& data : polled.items) {
            values.append(valueOf(data) + data.item.errorText);
        }
        return values.join(QLatin1Char(' '));
    };
    ASSERT_TRUE(plugin->readData(&log)) << log.errorText.toStdString();
    EXPECT_EQ(plc->openConnections(), 4);
    log.columns.insert(QStringLiteral("port"), QString::number(other.port()));
    log.items = log.items.mid(0, 1); // one block at the new module: no further connection
    EXPECT_TRUE(plugin->readData(&log)) << log.errorText.toStdString();
    EXPECT_EQ(valuesOf(log), QStringLiteral("2"));
    EXPECT_TRUE(plc->waitForOpenConnections(0)) << plc->openConnections();

    // Device 8 is off-scan, its probe waiting on the first module, which takes connections and
    // answers nothing; then it is moved to the other module.
    Faults hung;
    hung.silent = true;
    plc->setFaults(hung);
    LogList stuck = request(8, {entry(memoryItem("v100", kClassV, "100", Integer))});
    stuck.columns.insert(QStringLiteral("offscan_after"), QStringLiteral("1"));
    stuck.columns.insert(QStringLiteral("timeout"), QStringLiteral("300"));
    EXPECT_FALSE(plugin->readData(&stuck)); // a time-out: off-scan
    EXPECT_FALSE(plugin->readData(&stuck)); // off-scan; the probe goes out
    EXPECT_TRUE(stuck.errorText.startsWith(kOffScan)) << stuck.errorText.toStdString();
    EXPECT_TRUE(plc->waitForRequests(2)); // the time-out's read and the probe's
    stuck.columns.insert(QStringLiteral("port"), QString::number(other.port()));
    stuck.errorText.clear();
    stuck.items[0].item.errorText.clear();
    EXPECT_TRUE(plugin->readData(&stuck)) << stuck.errorText.toStdString();
    EXPECT_EQ(valuesOf(stuck), QStringLiteral("2"));
    EXPECT_TRUE(plc->waitForOpenConnections(0)) << plc->openConnections();
    plugin->stopPlugin();
}
