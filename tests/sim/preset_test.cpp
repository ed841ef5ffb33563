// Preset files: what a person writes for the demo must land in the right words, and a mistake
// must be reported rather than silently ignored.
#include "preset.h"
#include "simulated_plc.h"

#include <gtest/gtest.h>

using namespace camp_sim;

TEST(Preset, FillsConfigurationAndMemory)
{
    const QByteArray json = R"({
        "serial": 812, "firmware": "4.10",
        "memory_sizes": { "V": 500, "stw": 300 },
        "words": { "V100": 1234, "V101": "00FF", "V200": [1, -2, "abcd"], "STW300": 7 }
    })";
    Preset preset;
    QString error;
    ASSERT_TRUE(parsePreset(json, &preset, &error)) << error.toStdString();

    PlcConfig config;
    applyPresetToConfig(preset, config);
    EXPECT_EQ(812, config.serial);
    EXPECT_EQ(4, config.firmwareMajor);
    EXPECT_EQ(10, config.firmwareMinor);

    SimulatedPlc plc(config);
    ASSERT_TRUE(applyPresetWords(preset, plc, &error)) << error.toStdString();
    EXPECT_EQ(500u, plc.memorySize(kClassV));
    EXPECT_EQ(300u, plc.memorySize(kClassSTW));
    EXPECT_EQ(65536u, plc.memorySize(kClassK)); // a class left out keeps its default
    EXPECT_EQ(1234, plc.word(kClassV, 100));
    EXPECT_EQ(0x00FF, plc.word(kClassV, 101));
    EXPECT_EQ(1, plc.word(kClassV, 200));
    EXPECT_EQ(0xFFFE, plc.word(kClassV, 201));
    EXPECT_EQ(0xABCD, plc.word(kClassV, 202));
    EXPECT_EQ(0, plc.word(kClassV, 203));
    EXPECT_EQ(7, plc.word(kClassSTW, 300));
    EXPECT_EQ(812, plc.word(kClassSTW, 259));
    EXPECT_EQ(10, plc.word(kClassSTW, 261));
}

TEST(Preset, RejectsMistakesWithAReason)
{
    const char* broken[] = {
        "{",                               // not JSON
        "[]",                              // not an object
        R"({"serial": 70000})",            // too large
        R"({"firmware": "4"})",            // no minor
        R"({"memory_sizes": {"Q": 10}})",  // no such class
        R"({"words": {"V": 1}})",          // no address
        R"({"words": {"V1": 65536}})",     // too large for a word
        R"({"words": {"V1": "12345"}})",   // five hex digits
        R"({"words": {"V1": 1.5}})",       // not whole
        R"({"words": {"V1": [1, true]}})", // not a word
    };
    for (const char* json : broken) {
        Preset preset;
        QString error;
        EXPECT_FALSE(parsePreset(json, &preset, &error)) << json;
        EXPECT_FALSE(error.isEmpty()) << json;
    }

    Preset preset;
    QString error;
    ASSERT_TRUE(
        parsePreset(R"({"memory_sizes": {"V": 10}, "words": {"V10": [1, 2]}})", &preset, &error));
    PlcConfig config;
    applyPresetToConfig(preset, config);
    SimulatedPlc plc(config);
    EXPECT_FALSE(applyPresetWords(preset, plc, &error)); // V11 is past the end
    EXPECT_TRUE(error.contains(QStringLiteral("V11"))) << error.toStdString();

    quint16 major = 0, minor = 0;
    EXPECT_TRUE(parseFirmware(QStringLiteral("4.10"), &major, &minor));
    EXPECT_EQ(4, major);
    EXPECT_EQ(10, minor);
    EXPECT_FALSE(parseFirmware(QStringLiteral("4.x"), &major, &minor));
}
