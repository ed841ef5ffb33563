#include "oracle_pattern.h"

#include "plc_memory.h"

#include <QRegularExpression>
#include <QStringList>

namespace camp_sim {

qint64 patternStep(std::chrono::steady_clock::time_point time)
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(time.time_since_epoch()).count() / kPatternStepMs;
}

quint8 patternGeneration(std::chrono::steady_clock::time_point time)
{
    return static_cast<quint8>(patternStep(time) & 0xFF);
}

quint8 patternMark(int addressClass, quint32 address)
{
    // Fibonacci hashing: the top byte of the product mixes every bit of class and address.
    const quint32 key = static_cast<quint32>(addressClass) << 24 ^ address;
    return static_cast<quint8>((key * 2654435761u) >> 24);
}

quint16 patternWord(int addressClass, quint32 address, quint8 generation)
{
    return static_cast<quint16>(patternMark(addressClass, address) << 8 | generation);
}

bool isPatternWordWithin(quint16 word, int addressClass, quint32 address, qint64 first, qint64 last)
{
    if (word >> 8 != patternMark(addressClass, address) || last < first) {
        return false;
    }
    if (last - first >= 255) {
        return true;
    }
    const qint64 sinceFirst = ((word & 0xFF) - (first & 0xFF) + 256) % 256;
    return sinceFirst <= last - first;
}

bool parseWordRanges(const QString& text, QList<WordRange>* ranges, QString* error)
{
    static const QRegularExpression rangePattern(
        QStringLiteral("^([A-Za-z]+)(\\d{1,8})(?:-(\\d{1,8}))?$"));
    QList<WordRange> parsed;
    for (const QString& part : text.split(QLatin1Char(','))) {
        const QRegularExpressionMatch match = rangePattern.match(part.trimmed());
        const int addressClass = match.hasMatch() ? addressClassFromLabel(match.captured(1)) : -1;
        if (addressClass < 0) {
            *error = QStringLiteral("\"%1\" is not a word range such as V1-1999").arg(part);
            return false;
        }
        WordRange range;
        range.addressClass = addressClass;
        range.first = match.captured(2).toUInt();
        range.last = match.captured(3).isEmpty() ? range.first : match.captured(3).toUInt();
        if (range.first < 1 || range.last < range.first) {
            *error = QStringLiteral("the word range %1 is empty").arg(part);
            return false;
        }
        parsed.append(range);
    }
    *ranges = parsed;
    return true;
}

void OraclePattern::apply(PlcMemory& memory, quint8 generation)
{
    if (m_generation == generation) {
        return;
    }
    m_generation = generation;
    for (const WordRange& range : m_ranges) {
        for (quint32 address = range.first; address <= range.last; ++address) {
            memory.setWord(range.addressClass, address,
                           patternWord(range.addressClass, address, generation));
        }
    }
}

void OraclePattern::applyNow(PlcMemory& memory)
{
    apply(memory, patternGeneration(std::chrono::steady_clock::now()));
}

} // namespace camp_sim
