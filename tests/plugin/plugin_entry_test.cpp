// The plugin as the host first meets it: loaded from its file, registered with its columns.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "host_config_scope.h"
#include "plugin_loader.h"

namespace {

using Column = DatabaseColumnStructure;

struct ExpectedColumn
{
    const char* name;
    int dataType;
    int size;
    const char* defaultValue;
    const char* description; // null: not pinned
    const char* selections;  // "label=value" each, blank between
};

// "label=value" of each selection, in order.
QString selectionsOf(const Column& column)
{
    QStringList texts;
    for (const Column::SelectionValue& selection : column.selectionValues) {
        texts.append(selection.label + '=' + selection.value);
    }
    return texts.join(' ');
}

void expectColumns(const QList<Column>& actual, const QList<ExpectedColumn>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const ExpectedColumn& want = expected[i];
        const Column& got = actual[i];
        SCOPED_TRACE(want.name);
        EXPECT_EQ(got.name, QLatin1String(want.name));
        EXPECT_EQ(got.dataType, want.dataType);
        EXPECT_EQ(got.size, want.size);
        EXPECT_EQ(got.defaultValue, QLatin1String(want.defaultValue));
        EXPECT_TRUE(!want.description || got.description == QLatin1String(want.description));
        EXPECT_EQ(selectionsOf(got), QLatin1String(want.selections));
    }
}

#define DISCOVERY_TAGS "__kib_discovery_editable=1 __kib_discovery_parameter_only=1"

NetworkInterfaceInstance nic(const char* name)
{
    NetworkInterfaceInstance instance;
    instance.name = QLatin1String(name);
    return instance;
}

} // namespace

TEST(PluginEntry, LoadsAndRegistersColumnsWithTheHost)
{
    kib_test::HostConfigScope host;
    HostConfig::instance().setNetworkInterfaces({nic("eth0"), nic(""), nic("enp3s0")});

    KIBInterface* plugin = loadPlugin();
    ASSERT_NE(plugin, nullptr) << pluginLoader().errorString().toStdString();
    EXPECT_TRUE(plugin->init());

    const PluginRegistration reg = HostConfig::instance().registration();
    ASSERT_TRUE(reg.registered);
    EXPECT_EQ(reg.pluginName, QStringLiteral("camp_nitp"));
    EXPECT_EQ(reg.version, 9u);
    EXPECT_TRUE(reg.pluginColumns.isEmpty());
    EXPECT_TRUE(reg.fileColumns.isEmpty());

    expectColumns(reg.itemColumns,
                  {{"address_word", 2, 0, "", "", ""},
                   {"address_class", 0, 0, "", "", "V=1 K=2 X=6 Y=7 C=8 WX=9 WY=10 STW=26"},
                   {"data_type", 0, 3, "", "",
                    "Bit=0 Integer=1 Unsigned integer=2 Float=3 String=4 Long integer=5 "
                    "Unsigned long integer=6"}});

    // The texts the host shows beside each column are pinned for one of them.
    expectColumns(reg.deviceColumns,
                  {{"port", 0, 0, "4450", "", ""},
                   {"timeout", 0, 0, "10000",
                    "Socket timeout in milliseconds for connect, read and write", ""},
                   {"timeout_ms", 0, 0, "60000", nullptr, DISCOVERY_TAGS},
                   {"network_interface", 8, 64, "eth0", nullptr,
                    "All IPv4 interfaces= eth0=eth0 enp3s0=enp3s0 " DISCOVERY_TAGS},
                   {"tcp_ports", 8, 64, "4450", nullptr, DISCOVERY_TAGS},
                   {"connections", 2, 0, "1", nullptr, ""},
                   {"offscan_after", 2, 0, "3", nullptr, ""},
                   {"offscan_retry_ms", 2, 0, "10000", nullptr, ""},
                   {"max_block_words", 2, 0, "256", nullptr, ""},
                   {"max_gap_words", 2, 0, "16", nullptr, ""}});

    const PluginInitOptions& options = reg.options;
    EXPECT_EQ(options.maxConnections, 32);
    EXPECT_FALSE(options.optionFlag1);
    EXPECT_FALSE(options.optionFlag2);
    EXPECT_TRUE(options.optionFlag3);
    EXPECT_EQ(options.reconnectSeconds, 180);
    EXPECT_TRUE(options.optionFlag4);
    EXPECT_FALSE(options.optionFlag5);
    EXPECT_FALSE(options.optionFlag6);
    EXPECT_FALSE(options.optionFlag7);
    EXPECT_EQ(options.discoveryAction, QStringLiteral("discover"));
    EXPECT_TRUE(options.extra.isEmpty());

    // A host without interfaces is offered all of them; one without devices gets no items and
    // no reload request.
    HostConfig::instance().setNetworkInterfaces({});
    EXPECT_TRUE(plugin->init());
    EXPECT_EQ(selectionsOf(HostConfig::instance().registration().deviceColumns[3]),
              QStringLiteral("All IPv4 interfaces= " DISCOVERY_TAGS));
    EXPECT_TRUE(HostConfig::instance().addedItems().isEmpty());
    EXPECT_EQ(HostConfig::instance().reloadRequests(), 0);
    LogList nothing; // the host's event and log callbacks have nothing to do here
    EXPECT_TRUE(plugin->getEventData(&nothing) && plugin->logCallback(&nothing));
    EXPECT_FALSE(plugin->readData(nullptr) || plugin->writeData(nullptr));
}

TEST(PluginEntry, WriteToAClosedSocketDoesNotEndTheProcess)
{
    ASSERT_NE(loadPlugin(), nullptr); // constructing the plugin ignores SIGPIPE

    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    close(fds[1]);
    errno = 0;
    const ssize_t written = write(fds[0], "x", 1);
    const int error = errno;
    close(fds[0]);
    EXPECT_EQ(written, -1);
    EXPECT_EQ(error, EPIPE);
}
