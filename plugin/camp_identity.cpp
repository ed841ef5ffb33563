#include "camp_identity.h"

#include "app_camp_nitp.h"
#include "camp_discovery.h"

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

QMap<QString, QString> App_CAMP_NITP::readCampIdentity(CAMP_NITP& driver)
{
    Words words;
    ItemInstancePlugin scratch; // takes the driver's error text; identity items carry none
    if (driver.read(AddressClass::STW, kStwSerial, kStwIdentityWords, words, &scratch) !=
            CAMP_NITP::Result::Done ||
        words.size() < kStwIdentityWords) {
        return {};
    }
    return CampDiscovery::identityFromStwValues(words[0], words[1], words[2]);
}

bool isCampIdentityItem(const ItemInstancePlugin& item)
{
    static const QString addressColumn = QLatin1String(kAddressColumn);
    return kib_identity::isIdentityItem(item, addressColumn);
}

bool isCampIdentityItem(const ItemInstancePlugin& item, const QString& addressWord)
{
    return item.uid.startsWith(kib_identity::uidPrefix()) ||
           kib_identity::isIdentityAddress(addressWord);
}

// The extra read is made only for polls that ask for at least one identity item.
void App_CAMP_NITP::fillPolledIdentity(CAMP_NITP& driver, LogList* log)
{
    if (!log || log->id <= 0) {
        return;
    }
    const QMap<QString, QString> values = readCampIdentity(driver);
    if (driver.hasSessionError() || values.isEmpty()) {
        return;
    }
    kib_identity::publishValues(&pluginInterface, log, values, kAddressColumn);
}
