#include "camp_identity.h"

#include "camp_nitp.h"

namespace {

const char* const kAddressColumn = "address_word";

// key, name, description
const char* const kIdentityFields[][3] = {
    {"serial", "Serial", "CTI 2500 product serial number (STW259)"},
    {"firmware", "Firmware", "CTI 2500 firmware major.minor (STW260.STW261)"},
};

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
