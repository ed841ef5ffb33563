// One host write request of one device: every entry's value is checked and encoded by the item's
// data type and written with its own command. Discrete items (X, Y, C) change only bit 0 of
// their word. A value that cannot be written exactly as asked is refused before anything is sent.
// Every entry that is not written says why in its error text.

#include "app_camp_nitp.h"
#include "camp_session.h"
#include "mutex_locker.h"
#include "write_check.h"

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
    const QString text = entry.values.value(QStringLiteral("value"));
    WriteEntryCheck check = checkWriteEntry(item, text, log->id);
    // Every item the host asked to write is in the debug log, a refused value too.
    if (!check.readOnly) {
        pluginInterface.logDebug(QStringLiteral("Writing ") + text + QStringLiteral(" Item: ") +
                                 item.name + QStringLiteral(" Device: ") + log->name);
    }
    if (!check.refusal.isEmpty()) {
        item.errorText = check.refusal;
        return true;
    }
    const ItemAddress& at = check.at;
    Words& words = check.encoded.words;

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
        words = {withBit(current.front(), std::max<int>(at.bit, 0), words.front())};
    }
    const Result sent = driver.sendWrite(at, words, &item);
    if (sent == Result::ConnectionLost) {
        return lost(kNotWritten);
    }
    if (sent == Result::Done &&
        driver.receiveWrite(at, static_cast<int>(words.size()), &item) == Result::ConnectionLost) {
        return lost(kNotConfirmed); // carried out or not: the reply never came
    }
    return true;
}
