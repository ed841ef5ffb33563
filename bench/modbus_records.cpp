#include "modbus_records.h"

#include <algorithm>
#include <climits>

#include "camp_nitp.h"
#include "item_address.h"
#include "modbus_peer.h"
#include "value_codec.h"

namespace bench {

namespace {

const QString kValueKey = QStringLiteral("value");

struct RegisterItem
{
    ItemAddress address;
    DataItem* entry = nullptr;
};

} // namespace

int ModbusRecordPoll::poll(LogList& log)
{
    std::vector<RegisterItem> items;
    items.reserve(static_cast<size_t>(log.items.size()));
    quint32 lowest = UINT_MAX;
    quint32 end = 0; // one past the highest word
    for (DataItem& entry : log.items) {
        const ItemAddress address = itemAddress(entry.item);
        if (!address.isValid() || address.addressClass != CAMP_NITP::V) {
            entry.item.errorText = QStringLiteral("Not in the Modbus map");
            continue;
        }
        lowest = std::min(lowest, address.startAddress);
        end = std::max(end, address.startAddress + address.wordCount);
        items.push_back({address, &entry});
    }
    if (items.empty()) {
        return 0;
    }
    const int requests = client.readRegisters(static_cast<int>(lowest - 1),
                                              static_cast<int>(end - lowest), registers);
    if (requests < 0) {
        return -1;
    }
    for (const RegisterItem& item : items) {
        const size_t offset = item.address.startAddress - lowest;
        decodeValue(item.address, registers.data() + offset, item.address.wordCount,
                    item.entry->values[kValueKey]);
    }
    return requests;
}

} // namespace bench
