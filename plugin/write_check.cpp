#include "write_check.h"

#include "camp_identity.h"
#include "camp_nitp.h"
#include "device_health.h"

WriteEntryCheck checkWriteEntry(const ItemInstancePlugin& item, const QString& value, int deviceId)
{
    WriteEntryCheck check;
    if (isStatusAddress(item.columns.value(QStringLiteral("address_word")))) {
        check.refusal = QStringLiteral("Status items are read-only");
        check.readOnly = true;
        return check;
    }
    const IdentityRole identity = campIdentityRole(item, deviceId);
    if (identity != IdentityRole::None) {
        check.refusal =
            QLatin1String(identity == IdentityRole::Own ? kIdentityReadOnly : kNotOwnIdentity);
        check.readOnly = true;
        return check;
    }
    check.at = itemAddress(item);
    if (!check.at.invalid && check.at.addressClass == CAMP_NITP::STW) {
        check.refusal = QStringLiteral("Status words are read-only");
        check.readOnly = true;
        return check;
    }
    check.encoded = encodeValue(check.at, value);
    // The value is checked before the address (a discrete item's 2 is refused as a value), but an
    // item that names no words says which column and why.
    const char* invalid = check.at.invalid;
    if (invalid && (!check.encoded.refusal || check.encoded.refusal == invalid ||
                    invalid == kInvalidDataType)) {
        check.refusal = invalidText(check.at, item);
    } else if (check.encoded.refusal) {
        check.refusal = QLatin1String(check.encoded.refusal);
    }
    return check;
}
