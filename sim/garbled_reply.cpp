#include "garbled_reply.h"

#include <cstring>

namespace camp_sim {

namespace {

// The hex digit of a value from 0 to 15, and back (-1: not a hex digit).
const char kHexDigits[] = "0123456789ABCDEF";

int hexDigitValue(char c)
{
    const char* found = std::strchr(kHexDigits, c);
    return c != '\0' && found ? static_cast<int>(found - kHexDigits) : -1;
}

} // namespace

void garbleDigit(std::string& reply, int percent, std::atomic<quint64>& count)
{
    constexpr size_t kStatusPos = 3, kWordsPos = 15, kFrameWithoutWords = 20;
    const size_t end = reply.find(']');
    if (percent <= 0 || end == std::string::npos || reply.compare(0, 3, "[05") != 0 ||
        reply[kStatusPos] == 'F' || end + 1 <= kFrameWithoutWords ||
        (end + 1 - kFrameWithoutWords) % 4 != 0) {
        return;
    }
    const quint64 digits = end + 1 - kFrameWithoutWords;
    const quint64 k = ++count;
    const quint64 share = static_cast<quint64>(percent);
    if (k * share / 100 == (k - 1) * share / 100) {
        return;
    }
    const size_t pos = kWordsPos + static_cast<size_t>(k * 7 % digits);
    const int digit = hexDigitValue(reply[pos]);
    if (digit >= 0) {
        reply[pos] = kHexDigits[(digit + 1) % 16];
    }
}

} // namespace camp_sim
