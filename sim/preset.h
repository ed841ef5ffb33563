// Preset PLC contents from a JSON file, for the demo and for people:
//
//   {
//     "serial": 812, "firmware": "4.10",
//     "memory_sizes": { "V": 65536, "STW": 1024 },
//     "words": { "V100": 1234, "V101": "00FF", "V200": [1, -2, "ABCD"], "STW300": 7 },
//     "longs": { "V300": 70000 }
//   }
//
// Every key is optional. A word is a decimal number (-32768 to 65535) or a text of one to four
// hex digits; an array fills consecutive words from the address named. A long is a 32-bit integer
// (-2147483648 to 4294967295) in two words from the address named, the first high.
#pragma once

#include "simulated_plc.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

namespace camp_sim {

struct PresetWord
{
    int addressClass = 0;
    quint32 address = 0;
    quint16 value = 0;
};

struct Preset
{
    QMap<int, quint32> memorySizes;
    bool hasSerial = false;
    quint16 serial = 0;
    bool hasFirmware = false;
    quint16 firmwareMajor = 0;
    quint16 firmwareMinor = 0;
    QList<PresetWord> words;
};

// False with a reason when the text is not a valid preset.
bool parsePreset(const QByteArray& json, Preset* preset, QString* error);
bool loadPresetFile(const QString& path, Preset* preset, QString* error);

// "4.10" gives 4 and 10; false when the text is not MAJOR.MINOR.
bool parseFirmware(const QString& text, quint16* major, quint16* minor);

// Sizes, serial and firmware go into the configuration before the PLC is made ...
void applyPresetToConfig(const Preset& preset, PlcConfig& config);
// ... and the words into its memory afterwards. False with a reason when a word lies outside it.
bool applyPresetWords(const Preset& preset, SimulatedPlc& plc, QString* error);

} // namespace camp_sim
