#include "block_values.h"

#include "value_codec.h"

namespace {

const QString kValueKey = QStringLiteral("value");

// The entry's "value", made when missing. The entries a host keeps hand back the key stored
// here poll after poll: it is found at once, without comparing texts.
QString& valueOf(DataItem& entry)
{
    QMap<QString, QString>& values = entry.values;
    if (values.size() == 1) {
        const auto only = values.begin();
        if (only.key().isSharedWith(kValueKey)) {
            return only.value();
        }
    }
    return values[kValueKey];
}

} // namespace

const QString& valueKey()
{
    return kValueKey;
}

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
        decodeValue(span, words.data() + offset, span.wordCount, valueOf(*span.dataItem));
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
