// A digit garbled on the line, as the garbledDigitPercent fault makes it: the reply the PLC
// composed gets one hex digit of its words changed, its BCC left as it was.
#pragma once

#include <QtGlobal>

#include <atomic>
#include <string>

namespace camp_sim {

// `count` numbers the read replies that carry words (from 1), and reply `count` gets one digit of
// its words changed when `percent` says so. The BCC stays the one of the true reply. A second
// frame in the reply (a duplicated reply) is left as it is.
void garbleDigit(std::string& reply, int percent, std::atomic<quint64>& count);

} // namespace camp_sim
