// One host write request of one device: every entry's value is checked and encoded by the item's
// data type and written with its own command. Discrete items (X, Y, C) change only bit 0 of
// their word. A value that cannot be written exactly as asked is refused before anything is sent.

#include "app_camp_nitp.h"
#include "camp_identity.h"
#include "value_codec.h"

// False when the device is unreachable or the connection broke (the reason is then in the
// device's error text): the entries after that one are not written.
bool App_CAMP_NITP::writeDevice(CAMP_NITP& driver, LogList* log)
{
    if (!driver.connectToPLC(log)) {
        return false;
    }
    for (DataItem& entry : log->items) {
        if (!writeEntry(driver, log, entry)) {
            return false;
        }
    }
    return true;
}

// Returns false only when the connection broke; the reason is then in the device's error text.
bool App_CAMP_NITP::writeEntry(CAMP_NITP& driver, LogList* log, DataItem& entry)
{
    ItemInstancePlugin& item = entry.item;
    if (isCampIdentityItem(item)) {
        return true; // identity items are read-only
    }
    const QString text = entry.values.value(QStringLiteral("value"));
    pluginInterface.logDebug(QStringLiteral("Writing ") + text + QStringLiteral(" Item: ") +
                             item.name + QStringLiteral(" Device: ") + log->name);

    const ItemAddress at = itemAddress(item);
    EncodedValue encoded = encodeValue(at, text);
    const char* const refusal = encoded.refusal ? encoded.refusal : at.invalid;
    if (refusal) {
        item.errorText = QLatin1String(refusal);
        return true;
    }

    using Result = CAMP_NITP::Result;
    if (at.discrete) {
        Words current;
        const Result read =
            driver.read(at.addressClass, at.startAddress, at.wordCount, current, &item);
        if (read == Result::ConnectionLost) {
            log->errorText = driver.sessionError();
            return false;
        }
        if (read != Result::Done || current.empty()) {
            return true; // the driver may have set the item's error text
        }
        encoded.words = {withBit0(current.front(), encoded.words.front())};
    }
    if (driver.write(at, encoded.words, &item) == Result::ConnectionLost) {
        log->errorText = driver.sessionError();
        return false;
    }
    return true;
}
