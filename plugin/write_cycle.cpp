// One host write request of one device: every entry's value is checked and encoded by the item's
// data type and written with its own command. Discrete items (X, Y, C) change only bit 0 of
// their word. A value that cannot be written exactly as asked is refused before anything is sent.
// Every entry that is not written says why in its error text.

#include "app_camp_nitp.h"
#include "camp_identity.h"
#include "camp_session.h"
#include "mutex_locker.h"
#include "value_codec.h"

namespace {

const QString kNotWritten = QStringLiteral("Not written: ");
const QString kNotConfirmed = QStringLiteral("Not confirmed: ");

// The entries from `first` on were never sent: the device could not be reached.
void failEntriesFrom(LogList* log, int first)
{
    for (int i = first; i < log->items.size(); ++i) {
        log->items[i].item.errorText = kNotWritten + log->errorText;
    }
}

} // namespace

// False when the device is unreachable or the connection broke (the reason is then in the
// device's error text): the entries after that one are not written.
bool App_CAMP_NITP::writeDevice(CampSession& session, LogList* log)
{
    report(session.checkedColumns->newLines(*log, log->items, false));
    const HealthSettings settings = HealthSettings::of(*log);
    if (!session.health.admit(*log, settings, monotonicMs())) {
        failEntriesFrom(log, 0); // off-scan: nothing is sent
        return false;
    }
    const bool written = writeEntries(session.driver, log);
    if (session.health.record(written, !written, log->errorText, settings)) {
        session.disconnectAll();
    }
    return written;
}

bool App_CAMP_NITP::writeEntries(CAMP_NITP& driver, LogList* log)
{
    if (!driver.connectToPLC(log)) {
        failEntriesFrom(log, 0);
        return false;
    }
    for (int i = 0; i < log->items.size(); ++i) {
        if (!writeEntry(driver, log, log->items[i])) {
            failEntriesFrom(log, i + 1);
            return false;
        }
    }
    return true;
}

// Returns false only when the connection broke; the reason is then in the device's error text,
// and the entry's error text tells whether its command went out.
bool App_CAMP_NITP::writeEntry(CAMP_NITP& driver, LogList* log, DataItem& entry)
{
    ItemInstancePlugin& item = entry.item;
    if (isStatusAddress(item.columns.value(QStringLiteral("address_word")))) {
        item.errorText = QStringLiteral("Status items are read-only");
        return true;
    }
    const IdentityRole identity = campIdentityRole(item, log->id);
    if (identity != IdentityRole::None) {
        item.errorText =
            QLatin1String(identity == IdentityRole::Own ? kIdentityReadOnly : kNotOwnIdentity);
        return true;
    }
    const QString text = entry.values.value(QStringLiteral("value"));
    pluginInterface.logDebug(QStringLiteral("Writing ") + text + QStringLiteral(" Item: ") +
                             item.name + QStringLiteral(" Device: ") + log->name);

    const ItemAddress at = itemAddress(item);
    EncodedValue encoded = encodeValue(at, text);
    // The value is checked before the address (a discrete item's 2 is refused as a value), but an
    // item that names no words says which column and why.
    if (at.invalid &&
        (!encoded.refusal || encoded.refusal == at.invalid || at.invalid == kInvalidDataType)) {
        item.errorText = invalidText(at, item);
        return true;
    }
    if (encoded.refusal) {
        item.errorText = QLatin1String(encoded.refusal);
        return true;
    }

    // The word's read and write, and any other write to the module, go out as one.
    const std::shared_ptr<QMutex> moduleLock = moduleWriteLocks.lockFor(driver.moduleAddress());
    MutexLocker writingToTheModule(*moduleLock);

    using Result = CAMP_NITP::Result;
    const auto lost = [&](const QString& prefix) {
        log->errorText = driver.sessionError();
        item.errorText = prefix + log->errorText;
        return false;
    };
    if (at.discrete || at.bit >= 0) {
        Words current;
        const Result read =
            driver.read(at.addressClass, at.startAddress, at.wordCount, current, &item);
        if (read == Result::ConnectionLost) {
            return lost(kNotWritten);
        }
        if (read != Result::Done || current.empty()) {
            if (item.errorText.isEmpty()) {
                item.errorText = QStringLiteral("Error reading response");
            }
            return true; // nothing is written without the word's other bits
        }
        encoded.words = {withBit(current.front(), std::max<int>(at.bit, 0), encoded.words.front())};
    }
    const Result sent = driver.sendWrite(at, encoded.words, &item);
    if (sent == Result::ConnectionLost) {
        return lost(kNotWritten);
    }
    if (sent == Result::Done && driver.receiveWrite(at, static_cast<int>(encoded.words.size()),
                                                    &item) == Result::ConnectionLost) {
        return lost(kNotConfirmed); // carried out or not: the reply never came
    }
    return true;
}
