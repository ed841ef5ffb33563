// Preset files: what a person writes for the demo must land in the right words, and a mistake
// must be reported rather than silently ignored.
#include "preset.h"
#include "simulated_plc.h"

#include <gtest/gtest.h>

using namespace camp_sim;

TEST(Preset, FillsConfigurationAndMemory)
{
    Preset preset;
    QString error;
    ASSERT_TRUE(parsePreset(R"({"serial": 812, "firmware": "4.10",
        "memory_sizes": {"V": 500, "stw": 300},
        "words": {"V100": 1234, "V101": "00FF", "V200": [1, -2, "abcd"], "STW300": 7}})",
                            &preset, &error))
        << error.toStdString();
    PlcConfig config;
    applyPresetToConfig(preset, config);
    SimulatedPlc plc(config);
    ASSERT_TRUE(applyPresetWords(preset, plc, &error)) << error.toStdString();
    EXPECT_EQ(500u, plc.memorySize(kClassV));
    EXPECT_EQ(300u, plc.memorySize(kClassSTW));
    EXPECT_EQ(65536u, plc.memorySize(kClassK)); // a class left out keeps its default
    const QPair<int, quint32> words[] = {
        {kClassV, 100}, {kClassV, 101},   {kClassV, 200},   {kClassV, 201},   {kClassV, 202},
        {kClassV, 203}, {kClassSTW, 300}, {kClassSTW, 259}, {kClassSTW, 260}, {kClassSTW, 261}};
    const quint16 values[] = {1234, 0x00FF, 1, 0xFFFE, 0xABCD, 0, 7, 812, 4, 10};
    for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i) {
        EXPECT_EQ(values[i], plc.word(words[i].first, words[i].second)) << i;
    }
}

TEST(Preset, RejectsMistakesWithAReason)
{
    const char* broken[] = {
        "{",                               // not JSON
        "[]",                              // not an object
        R"({"serial": 70000})",            // too large
        R"({"firmware": "4"})",            // no minor
        R"({"firmware": "4.x"})",          // not a number
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
    // Words past the end of the memory the preset itself sizes.
    Preset preset;
    QString error;
    ASSERT_TRUE(
        parsePreset(R"({"memory_sizes": {"V": 10}, "words": {"V10": [1, 2]}})", &preset, &error));
    PlcConfig config;
    applyPresetToConfig(preset, config);
    SimulatedPlc plc(config);
    EXPECT_FALSE(applyPresetWords(preset, plc, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("V11"))) << error.toStdString();
}
