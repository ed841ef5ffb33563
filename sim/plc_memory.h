// The simulated PLC's memory: one array of 16-bit words per address class. Addresses count
// from 1 as on the PLC (V1 is the first V word), so a class of N words holds 1 to N.
#pragma once

#include <QMap>
#include <QString>
#include <QtGlobal>

#include <vector>

namespace camp_sim {

// The largest address the six-digit address field can carry.
constexpr quint32 kMaxMemoryWords = 0xFFFFFF;

// The address classes the PLC knows, with their frame codes and labels.
struct AddressClassInfo
{
    int code;
    const char* label;
    quint32 defaultWords;
};
const std::vector<AddressClassInfo>& addressClasses();
bool isKnownAddressClass(int code);
int addressClassFromLabel(const QString& label); // "V", "wx", ...; -1 when unknown
// "V100", "stw259" (blanks around it allowed): the class label, then the decimal address.
bool parseWordAddress(const QString& text, int* addressClass, quint32* address);
QString addressClassLabel(int code); // empty when unknown

class PlcMemory
{
public:
    // Sizes per class code; classes left out take their default size. Sizes above
    // kMaxMemoryWords are cut to it.
    explicit PlcMemory(const QMap<int, quint32>& sizes = QMap<int, quint32>());

    quint32 size(int addressClass) const; // 0 for an unknown class

    // True when the words first .. first + count - 1 all exist.
    bool contains(int addressClass, quint32 first, quint32 count) const;

    // Out-of-range reads give 0 and out-of-range writes are dropped; callers check contains().
    quint16 word(int addressClass, quint32 address) const;
    void setWord(int addressClass, quint32 address, quint16 value);

private:
    const std::vector<quint16>* words(int addressClass) const;
    std::vector<quint16>* words(int addressClass);

    // Indexed by class code; slot 0 of each array is unused so that the address is the index.
    std::vector<std::vector<quint16>> m_words;
};

} // namespace camp_sim
