// Found controllers as the host sees them: a stable device uid and an importable JSON object.

#include "camp_discovery.h"

#include <QJsonObject>

namespace CampDiscovery {

namespace {

constexpr const char* kImportedTimeoutMs = "10000";

quint16 effectivePort(quint16 port)
{
    return port == 0 ? kDefaultPort : port;
}

bool isUidCharacter(QChar c)
{
    const ushort u = c.unicode();
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '_';
}

QString describe(const Candidate& candidate, quint16 port)
{
    QString description =
        QStringLiteral("CAMP NITP at %1:%2").arg(candidate.address, QString::number(port));
    if (!candidate.serial.isEmpty()) {
        description += QStringLiteral(", serial ") + candidate.serial;
    }
    if (!candidate.firmware.isEmpty()) {
        description += QStringLiteral(", firmware ") + candidate.firmware;
    }
    if (candidate.protocolError) {
        description += QStringLiteral(" (protocol error on identify)");
    } else if (!candidate.v0Word.isEmpty() && candidate.serial.isEmpty() &&
               candidate.firmware.isEmpty()) {
        // The bare data word is all there is to tell this device apart.
        description += QStringLiteral(" V0=") + candidate.v0Word;
    }
    return description;
}

} // namespace

QString uidFor(const QString& host, quint16 port)
{
    QString cleaned;
    cleaned.reserve(host.size());
    for (QChar c : host) {
        if (c == QLatin1Char('.') || c == QLatin1Char(':')) {
            cleaned += QLatin1Char('_');
        } else if (isUidCharacter(c)) {
            cleaned += c;
        }
    }
    return QStringLiteral("camp_nitp_%1_%2").arg(cleaned, QString::number(effectivePort(port)));
}

QJsonObject candidateToJson(const Candidate& candidate)
{
    const quint16 port = effectivePort(candidate.port);
    const QString uid = uidFor(candidate.address, port);
    const QString name = candidate.serial.isEmpty()
                             ? QStringLiteral("CAMP (%1)").arg(candidate.address)
                             : QStringLiteral("%1 (%2)").arg(candidate.serial, candidate.address);

    QJsonObject fields;
    fields.insert(QStringLiteral("port"), QString::number(port));
    fields.insert(QStringLiteral("timeout"), QString::fromLatin1(kImportedTimeoutMs));

    QJsonObject object;
    object.insert(QStringLiteral("external_id"), uid);
    object.insert(QStringLiteral("uid_hint"), uid);
    object.insert(QStringLiteral("name"), name);
    object.insert(QStringLiteral("description"), describe(candidate, port));
    object.insert(QStringLiteral("address"), candidate.address);
    object.insert(QStringLiteral("user_defined_fields"), fields);
    return object;
}

} // namespace CampDiscovery
