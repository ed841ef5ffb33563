#include "block_values.h"

#include "value_codec.h"

namespace {

const QString kValueKey = QStringLiteral("value");

} // namespace

void storeBlockValues(const std::vector<ReadSpan>& spans, size_t first, size_t last,
                      quint32 blockStart, const Words& words)
{
    for (size_t k = first; k < last; ++k) {
        const ReadSpan& span = spans[k];
        if (span.startAddress < blockStart) {
            continue;
        }
        const size_t offset = span.startAddress - blockStart;
        if (offset + span.wordCount > words.size()) {
            span.dataItem->item.errorText = QStringLiteral("Error reading response");
            continue;
        }
        decodeValue(span, words.data() + offset, span.wordCount, span.dataItem->values[kValueKey]);
    }
}

QString itemValueText(const ItemInstancePlugin& item, const Words& words)
{
    ItemAddress address;
    address.dataType = item.columns.value(QStringLiteral("data_type")).toInt();
    address.discrete = isDiscreteClass(item.columns.value(QStringLiteral("address_class")).toInt());
    address.bit = itemAddress(item).bit;
    return decodeValue(address, words.data(), words.size());
}
