#include "camp_identity.h"

#include "app_camp_nitp.h"
#include "camp_discovery.h"
#include "poll_plan.h"

namespace {

const char* const kAddressColumn = "address_word";

// key, name, description
const char* const kIdentityFields[][3] = {
    {"serial", "Serial", "CTI 2500 product serial number (STW259)"},
    {"firmware", "Firmware", "CTI 2500 firmware major.minor (STW260.STW261)"},
};

constexpr quint32 kStwSerial = 259;
constexpr quint16 kStwIdentityWords = 3;

} // namespace

const char kNotOwnIdentity[] =
    "Not an identity item of this device (uids that start with identity_ and addresses that start "
    "with __identity. are kept for them)";
const char kIdentityReadOnly[] = "Identity items are read-only";
const char kIdentityNotReported[] = "Not reported by the PLC (its status word holds 0)";

QList<kib_identity::Spec> campIdentitySpecs()
{
    QList<kib_identity::Spec> specs;
    for (const auto& field : kIdentityFields) {
        kib_identity::Spec spec;
        spec.key = QLatin1String(field[0]);
        spec.name = QLatin1String(field[1]);
        spec.description = QLatin1String(field[2]);
        spec.columns.insert(QStringLiteral("address_word"),
                            kib_identity::addressPrefix() + spec.key);
        spec.columns.insert(QStringLiteral("address_class"), QString::number(AddressClass::STW));
        spec.columns.insert(QStringLiteral("data_type"), QString::number(DataType::String));
        specs.append(spec);
    }
    return specs;
}

// The device's identity values from its status words; empty, with the reason in `failure`, when
// they could not be read.
QMap<QString, QString> App_CAMP_NITP::readCampIdentity(CAMP_NITP& driver, QString& failure)
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

IdentityRole campIdentityRole(const ItemInstancePlugin& item, int deviceId)
{
    static const QString addressColumn = QLatin1String(kAddressColumn);
    return campIdentityRole(item, item.columns.value(addressColumn), deviceId);
}

IdentityRole campIdentityRole(const ItemInstancePlugin& item, const QString& addressWord,
                              int deviceId)
{
    const bool identityUid = item.uid.startsWith(kib_identity::uidPrefix());
    const bool identityAddress = kib_identity::isIdentityAddress(addressWord);
    if (!identityUid && !identityAddress) {
        return IdentityRole::None;
    }
    for (const auto& field : kIdentityFields) {
        const QString key = QLatin1String(field[0]);
        if ((identityUid && item.uid == kib_identity::uidFor(deviceId, key)) ||
            (identityAddress && kib_identity::fieldKey(addressWord) == key)) {
            return IdentityRole::Own;
        }
    }
    return IdentityRole::Foreign;
}

// The extra read is made only for polls that ask for at least one identity item. Every identity
// item of the request gets its value, or why it has none.
void App_CAMP_NITP::fillPolledIdentity(CAMP_NITP& driver, LogList* log, const PollPlan& plan)
{
    QString failure;
    const QMap<QString, QString> values =
        log->id > 0 ? readCampIdentity(driver, failure) : QMap<QString, QString>();
    // A field the PLC reports as 0 has no value; publishing clears this text where one comes.
    plan.failIdentity(log->items,
                      failure.isEmpty() ? QLatin1String(kIdentityNotReported) : failure);
    if (!values.isEmpty()) {
        kib_identity::publishValues(&pluginInterface, log, values, kAddressColumn);
    }
}
