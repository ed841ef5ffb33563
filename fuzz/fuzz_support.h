#pragma once
// What every fuzz target shares: the libFuzzer entry point, a check that aborts with a message
// (libFuzzer and the corpus replay both treat an abort as a finding), and a reader that cuts the
// fuzzer's bytes into the fields a target needs.

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__,        \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace fuzz {

// Hands out the input front to back. Reads past the end give zeros or empty texts, so every
// input, however short, is a valid one.
class Input
{
public:
    Input(const uint8_t* data, size_t size)
        : bytes(reinterpret_cast<const char*>(data), static_cast<int>(size))
    {
    }

    quint8 byte() { return at < bytes.size() ? static_cast<quint8>(bytes.at(at++)) : 0; }

    quint16 u16() { return static_cast<quint16>(byte() << 8 | byte()); }

    quint32 u32() { return static_cast<quint32>(u16()) << 16 | u16(); }

    // The bytes up to the next newline (which is consumed), or to the end.
    QByteArray line()
    {
        const int end = bytes.indexOf('\n', at);
        const int stop = end < 0 ? bytes.size() : end;
        const QByteArray text = bytes.mid(at, stop - at);
        at = end < 0 ? bytes.size() : end + 1;
        return text;
    }

    QByteArray rest()
    {
        const QByteArray text = bytes.mid(at);
        at = bytes.size();
        return text;
    }

    bool empty() const { return at >= bytes.size(); }

private:
    QByteArray bytes;
    int at = 0;
};

inline bool isUpperHex(const QByteArray& text)
{
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

} // namespace fuzz
