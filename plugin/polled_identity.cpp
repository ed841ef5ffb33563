#include "polled_identity.h"

#include "camp_discovery.h"
#include "camp_identity.h"

namespace {

constexpr quint32 kStwSerial = 259;
constexpr quint16 kStwIdentityWords = 3;

// The device's identity values from its status words; empty, with the reason in `failure`, when
// they could not be read.
QMap<QString, QString> readCampIdentity(CAMP_NITP& driver, QString& failure)
{
    Words words;
    ItemInstancePlugin scratch; // takes the driver's error text
    if (driver.read(AddressClass::STW, kStwSerial, kStwIdentityWords, words, &scratch) !=
            CAMP_NITP::Result::Done ||
        words.size() < kStwIdentityWords) {
        failure = driver.hasSessionError()      ? driver.sessionError()
                  : scratch.errorText.isEmpty() ? QStringLiteral("Error reading response")
                                                : scratch.errorText;
        return {};
    }
    return CampDiscovery::identityFromStwValues(words[0], words[1], words[2]);
}

} // namespace

void fillPolledIdentity(CAMP_NITP& driver, LogList* log, const PollPlan& plan,
                        PluginInterface& host)
{
    QString failure;
    const QMap<QString, QString> values =
        log->id > 0 ? readCampIdentity(driver, failure) : QMap<QString, QString>();
    // A field the PLC reports as 0 has no value; publishing clears this text where one comes.
    plan.failIdentity(log->items,
                      failure.isEmpty() ? QLatin1String(kIdentityNotReported) : failure);
    if (!values.isEmpty()) {
        kib_identity::publishValues(&host, log, values, "address_word");
    }
}
