#include "preset.h"

#include "plc_memory.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace camp_sim {

namespace {

bool fail(QString* error, const QString& reason)
{
    if (error) {
        *error = reason;
    }
    return false;
}

bool parseWordValue(const QJsonValue& value, quint16* word)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (number != static_cast<double>(static_cast<qint64>(number)) || number < -32768 ||
            number > 65535) {
            return false;
        }
        *word = static_cast<quint16>(static_cast<qint32>(number) & 0xFFFF);
        return true;
    }
    if (value.isString()) {
        static const QRegularExpression hexWord(QStringLiteral("^[0-9A-Fa-f]{1,4}$"));
        const QString text = value.toString().trimmed();
        if (!hexWord.match(text).hasMatch()) {
            return false;
        }
        *word = static_cast<quint16>(text.toUInt(nullptr, 16));
        return true;
    }
    return false;
}

bool parseSizes(const QJsonValue& value, Preset* preset, QString* error)
{
    if (value.isUndefined()) {
        return true;
    }
    if (!value.isObject()) {
        return fail(error, QStringLiteral("\"memory_sizes\" must be an object"));
    }
    const QJsonObject sizes = value.toObject();
    for (auto it = sizes.begin(); it != sizes.end(); ++it) {
        const int addressClass = addressClassFromLabel(it.key());
        const double words = it.value().toDouble(-1);
        if (addressClass < 0) {
            return fail(error, QStringLiteral("unknown address class \"%1\"").arg(it.key()));
        }
        if (words < 0 || words > kMaxMemoryWords || words != static_cast<quint32>(words)) {
            return fail(error, QStringLiteral("bad size for %1").arg(it.key()));
        }
        preset->memorySizes.insert(addressClass, static_cast<quint32>(words));
    }
    return true;
}

bool parseWords(const QJsonValue& value, Preset* preset, QString* error)
{
    if (value.isUndefined()) {
        return true;
    }
    if (!value.isObject()) {
        return fail(error, QStringLiteral("\"words\" must be an object"));
    }
    const QJsonObject words = value.toObject();
    for (auto it = words.begin(); it != words.end(); ++it) {
        PresetWord word;
        if (!parseWordAddress(it.key(), &word.addressClass, &word.address)) {
            return fail(error, QStringLiteral("bad address \"%1\"").arg(it.key()));
        }
        const QJsonArray values =
            it.value().isArray() ? it.value().toArray() : QJsonArray{it.value()};
        for (const QJsonValue& item : values) {
            if (!parseWordValue(item, &word.value)) {
                return fail(error, QStringLiteral("bad word value at \"%1\"").arg(it.key()));
            }
            preset->words.append(word);
            ++word.address;
        }
    }
    return true;
}

// 32-bit integers in two words, the first high, as the plugin's long integer types read them.
bool parseLongs(const QJsonValue& value, Preset* preset, QString* error)
{
    if (value.isUndefined()) {
        return true;
    }
    if (!value.isObject()) {
        return fail(error, QStringLiteral("\"longs\" must be an object"));
    }
    const QJsonObject longs = value.toObject();
    for (auto it = longs.begin(); it != longs.end(); ++it) {
        PresetWord word;
        if (!parseWordAddress(it.key(), &word.addressClass, &word.address)) {
            return fail(error, QStringLiteral("bad address \"%1\"").arg(it.key()));
        }
        const double number = it.value().toDouble(0.5);
        if (number != static_cast<double>(static_cast<qint64>(number)) || number < -2147483648.0 ||
            number > 4294967295.0) {
            return fail(error, QStringLiteral("bad long value at \"%1\"").arg(it.key()));
        }
        const quint32 pattern = static_cast<quint32>(static_cast<qint64>(number) & 0xFFFFFFFF);
        word.value = static_cast<quint16>(pattern >> 16);
        preset->words.append(word);
        ++word.address;
        word.value = static_cast<quint16>(pattern & 0xFFFF);
        preset->words.append(word);
    }
    return true;
}

} // namespace

bool parseFirmware(const QString& text, quint16* major, quint16* minor)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*(\\d{1,5})\\.(\\d{1,5})\\s*$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch() || match.captured(1).toUInt() > 0xFFFF ||
        match.captured(2).toUInt() > 0xFFFF) {
        return false;
    }
    *major = static_cast<quint16>(match.captured(1).toUInt());
    *minor = static_cast<quint16>(match.captured(2).toUInt());
    return true;
}

bool parsePreset(const QByteArray& json, Preset* preset, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return fail(error, QStringLiteral("not JSON: %1 at offset %2")
                               .arg(parseError.errorString())
                               .arg(parseError.offset));
    }
    if (!document.isObject()) {
        return fail(error, QStringLiteral("the preset must be a JSON object"));
    }
    const QJsonObject root = document.object();

    Preset result;
    const QJsonValue serial = root.value(QStringLiteral("serial"));
    if (!serial.isUndefined()) {
        const double number = serial.toDouble(-1);
        if (number < 0 || number > 65535 || number != static_cast<quint16>(number)) {
            return fail(error, QStringLiteral("\"serial\" must be a number from 0 to 65535"));
        }
        result.hasSerial = true;
        result.serial = static_cast<quint16>(number);
    }
    const QJsonValue firmware = root.value(QStringLiteral("firmware"));
    if (!firmware.isUndefined()) {
        if (!parseFirmware(firmware.toString(), &result.firmwareMajor, &result.firmwareMinor)) {
            return fail(error, QStringLiteral("\"firmware\" must be a text MAJOR.MINOR"));
        }
        result.hasFirmware = true;
    }
    if (!parseSizes(root.value(QStringLiteral("memory_sizes")), &result, error) ||
        !parseWords(root.value(QStringLiteral("words")), &result, error) ||
        !parseLongs(root.value(QStringLiteral("longs")), &result, error)) {
        return false;
    }
    *preset = result;
    return true;
}

bool loadPresetFile(const QString& path, Preset* preset, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    }
    QString reason;
    if (!parsePreset(file.readAll(), preset, &reason)) {
        return fail(error, QStringLiteral("%1: %2").arg(path, reason));
    }
    return true;
}

void applyPresetToConfig(const Preset& preset, PlcConfig& config)
{
    for (auto it = preset.memorySizes.begin(); it != preset.memorySizes.end(); ++it) {
        config.memorySizes.insert(it.key(), it.value());
    }
    if (preset.hasSerial) {
        config.serial = preset.serial;
    }
    if (preset.hasFirmware) {
        config.firmwareMajor = preset.firmwareMajor;
        config.firmwareMinor = preset.firmwareMinor;
    }
}

bool applyPresetWords(const Preset& preset, SimulatedPlc& plc, QString* error)
{
    for (const PresetWord& word : preset.words) {
        if (word.address < 1 || word.address > plc.memorySize(word.addressClass)) {
            return fail(error, QStringLiteral("%1%2 lies outside the PLC's memory")
                                   .arg(addressClassLabel(word.addressClass))
                                   .arg(word.address));
        }
        plc.setWord(word.addressClass, word.address, word.value);
    }
    return true;
}

} // namespace camp_sim
