#pragma once
// The libmodbus peer doing what a poll of the plugin does for the host: every item's place taken
// from its columns, the holding registers under the items read, and each item's value text
// filled in the request with the plugin's own conversion of words to text. Beside the plugin's
// poll it shows what the peer costs for the same result, not only for raw registers.
//
// The map: V words are the holding registers (V1 is register 0); items of other classes get an
// error text. The registers read are one run from the lowest item to the highest, which is the
// plugin's own plan for a dense item set.

#include <cstdint>
#include <vector>

#include "kib_records.h"

namespace bench {

class ModbusClient;

class ModbusRecordPoll
{
public:
    explicit ModbusRecordPoll(ModbusClient& client) : client(client) {}

    // Returns the requests it sent, or -1 when a read failed.
    int poll(LogList& log);

private:
    ModbusClient& client;
    std::vector<uint16_t> registers;
};

} // namespace bench
