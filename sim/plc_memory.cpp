#include "plc_memory.h"

#include <QRegularExpression>

#include <algorithm>

namespace camp_sim {

const std::vector<AddressClassInfo>& addressClasses()
{
    // Defaults sized for the demo: a full 64 K of V and K, and room for the status words.
    static const std::vector<AddressClassInfo> classes = {
        {1, "V", 65536}, {2, "K", 65536}, {6, "X", 8192},   {7, "Y", 8192},
        {8, "C", 8192},  {9, "WX", 8192}, {10, "WY", 8192}, {26, "STW", 1024},
    };
    return classes;
}

bool isKnownAddressClass(int code)
{
    const auto& classes = addressClasses();
    return std::any_of(classes.begin(), classes.end(),
                       [code](const AddressClassInfo& info) { return info.code == code; });
}

int addressClassFromLabel(const QString& label)
{
    const QString upper = label.trimmed().toUpper();
    for (const AddressClassInfo& info : addressClasses()) {
        if (upper == QLatin1String(info.label)) {
            return info.code;
        }
    }
    return -1;
}

bool parseWordAddress(const QString& text, int* addressClass, quint32* address)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*([A-Za-z]+)\\s*(\\d{1,8})\\s*$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        return false;
    }
    *addressClass = addressClassFromLabel(match.captured(1));
    *address = match.captured(2).toUInt();
    return *addressClass >= 0;
}

QString addressClassLabel(int code)
{
    for (const AddressClassInfo& info : addressClasses()) {
        if (info.code == code) {
            return QString::fromLatin1(info.label);
        }
    }
    return QString();
}

PlcMemory::PlcMemory(const QMap<int, quint32>& sizes)
{
    int highestCode = 0;
    for (const AddressClassInfo& info : addressClasses()) {
        highestCode = std::max(highestCode, info.code);
    }
    m_words.resize(static_cast<size_t>(highestCode) + 1);
    for (const AddressClassInfo& info : addressClasses()) {
        const quint32 words = std::min(sizes.value(info.code, info.defaultWords), kMaxMemoryWords);
        m_words[static_cast<size_t>(info.code)].assign(static_cast<size_t>(words) + 1, 0);
    }
}

const std::vector<quint16>* PlcMemory::words(int addressClass) const
{
    if (addressClass < 0 || static_cast<size_t>(addressClass) >= m_words.size()) {
        return nullptr;
    }
    const std::vector<quint16>& words = m_words[static_cast<size_t>(addressClass)];
    return words.empty() ? nullptr : &words;
}

std::vector<quint16>* PlcMemory::words(int addressClass)
{
    return const_cast<std::vector<quint16>*>(
        static_cast<const PlcMemory*>(this)->words(addressClass));
}

quint32 PlcMemory::size(int addressClass) const
{
    const std::vector<quint16>* array = words(addressClass);
    return array ? static_cast<quint32>(array->size() - 1) : 0;
}

bool PlcMemory::contains(int addressClass, quint32 first, quint32 count) const
{
    const quint64 last = quint64(first) + count - 1;
    return count > 0 && first >= 1 && last <= size(addressClass);
}

quint16 PlcMemory::word(int addressClass, quint32 address) const
{
    if (!contains(addressClass, address, 1)) {
        return 0;
    }
    return (*words(addressClass))[address];
}

void PlcMemory::setWord(int addressClass, quint32 address, quint16 value)
{
    if (!contains(addressClass, address, 1)) {
        return;
    }
    (*words(addressClass))[address] = value;
}

} // namespace camp_sim
