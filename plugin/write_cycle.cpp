#include "write_cycle.h"

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

// The entries of one request, written over the device's first connection.
class EntryWriter
{
public:
    EntryWriter(CAMP_NITP& driver, LogList* log, PluginInterface& host,
                ModuleWriteLocks& moduleLocks)
        : driver(driver), log(log), host(host), moduleLocks(moduleLocks)
    {
    }

    bool writeAll();

private:
    bool write(DataItem& entry);

    CAMP_NITP& driver;
    LogList* const log;
    PluginInterface& host;
    ModuleWriteLocks& moduleLocks;
};

bool EntryWriter::writeAll()
{
    if (!driver.connectToPLC(log)) {
        failEntriesFrom(log, 0);
        return false;
    }
    for (int i = 0; i < log->items.size(); ++i) {
        if (!write(log->items[i])) {
            failEntriesFrom(log, i + 1);
            return false;
        }
    }
    return true;
}

// Returns false only when the connection broke; the reason is then in the device's error text,
// and the entry's error text tells whether its command went out.
bool EntryWriter::write(DataItem& entry)
{
    ItemInstancePlugin& item = entry.item;
    const QString text = entry.values.value(QStringLiteral("value"));
    WriteEntryCheck check = checkWriteEntry(item, text, log->id);
    // Every item the host asked to write is in the debug log, a refused value too.
    if (!check.readOnly) {
        host.logDebug(QStringLiteral("Writing ") + text + QStringLiteral(" Item: ") + item.name +
                      QStringLiteral(" Device: ") + log->name);
    }
    if (!check.refusal.isEmpty()) {
        item.errorText = check.refusal;
        return true;
    }
    const ItemAddress& at = check.at;
    Words& words = check.encoded.words;

    // The word's read and write, and any other write to the module, go out as one.
    const std::shared_ptr<QMutex> moduleLock = moduleLocks.lockFor(driver.moduleAddress());
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

} // namespace

bool writeDevice(CampSession& session, LogList* log, PluginInterface& host,
                 ModuleWriteLocks& moduleLocks)
{
    reportConfiguration(host, session.checkedColumns->newLines(*log, log->items, false));
    const HealthSettings settings = HealthSettings::of(*log);
    if (!session.health.admit(*log, settings, monotonicMs())) {
        failEntriesFrom(log, 0); // off-scan: nothing is sent
        return false;
    }
    const bool written = EntryWriter(session.driver, log, host, moduleLocks).writeAll();
    if (session.health.record(written, !written, log->errorText, settings)) {
        session.disconnectAll();
    }
    return written;
}
