// Preset files: what a person writes for the demo must land in the right words, and a mistake
// must be reported rather than silently ignored.
#include "preset.h"
#include "sim_test_support.h"
#include "simulated_plc.h"

#include <gtest/gtest.h>

using namespace camp_sim;

TEST(Preset, FillsTheWordsOrSaysWhatIsWrong)
{
    struct PresetCase
    {
        const char* name;
        const char* json;
        const char* words; // what the PLC holds; null: the preset is refused with a reason
    };
    const PresetCase cases[] = {
        {"every kind of word", R"({"serial": 812, "firmware": "4.10", "memory_sizes": {"V": 500},
            "words": {"V100": 1234, "v101": "00FF", "V200": [1, -2, "abcd"], "STW300": 7}})",
         "V100=04D2 V101=00FF V200=0001 V201=FFFE V202=ABCD V203=0000 STW300=0007 STW259=032C "
         "STW260=0004 STW261=000A"},
        {"the largest and smallest numbers",
         R"({"serial": 65535, "words": {"V1": [65535, -32768]}})", "STW259=FFFF V1=FFFF V2=8000"},
        {"longs in two words, high first",
         R"({"longs": {"V300": 70000, "K1": -2, "K3": 4294967295}})",
         "V300=0001 V301=1170 K1=FFFF K2=FFFE K3=FFFF K4=FFFF"},
        {"a long too large", R"({"longs": {"V1": 4294967296}})", nullptr},
        {"not JSON", "{", nullptr},
        {"serial too large", R"({"serial": 70000})", nullptr},
        {"firmware without minor", R"({"firmware": "4"})", nullptr},
        {"no such class", R"({"memory_sizes": {"Q": 10}})", nullptr},
        {"too large for a word", R"({"words": {"V1": 65536}})", nullptr},
        {"not a word", R"({"words": {"V1": [1, true]}})", nullptr},
        {"past the end", R"({"memory_sizes": {"V": 10}, "words": {"V10": [1, 2]}})", nullptr},
    };
    for (const PresetCase& c : cases) {
        Preset preset;
        QString error;
        PlcConfig config;
        const bool parsed = parsePreset(c.json, &preset, &error);
        applyPresetToConfig(preset, config);
        SimulatedPlc plc(config);
        EXPECT_EQ(c.words != nullptr, parsed && applyPresetWords(preset, plc, &error)) << c.name;
        EXPECT_EQ(c.words == nullptr, !error.isEmpty()) << c.name;
        if (c.words) {
            EXPECT_EQ(c.words,
                      wordsHeld(c.words, [&](int cls, quint32 a) { return plc.word(cls, a); }))
                << c.name;
        }
    }
}
