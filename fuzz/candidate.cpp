// Found controllers as the host imports them, from arbitrary addresses and identify results:
// uidFor gives a uid of safe characters that ends in the effective port, and candidateToJson an
// object whose ids are that uid and whose fields say the same address and port.
//
// Input: two bytes of port, a flags byte, then lines: address, serial, firmware, V1 word.

#include <QJsonObject>
#include <QRegularExpression>

#include "camp_discovery.h"
#include "fuzz_support.h"

using namespace CampDiscovery;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    Candidate candidate;
    candidate.port = input.u16();
    candidate.protocolError = (input.byte() & 1) != 0;
    candidate.address = QString::fromUtf8(input.line());
    candidate.serial = QString::fromUtf8(input.line());
    candidate.firmware = QString::fromUtf8(input.line());
    candidate.v0Word = QString::fromUtf8(input.line());

    const quint16 port = candidate.port == 0 ? kDefaultPort : candidate.port;
    const QString uid = uidFor(candidate.address, candidate.port);
    static const QRegularExpression uidShape(QStringLiteral("^camp_nitp_[A-Za-z0-9_]*_([0-9]+)$"));
    const QRegularExpressionMatch match = uidShape.match(uid);
    FUZZ_CHECK(match.hasMatch());
    FUZZ_CHECK(match.captured(1) == QString::number(port));
    FUZZ_CHECK(uid == uidFor(candidate.address, port)); // port 0 means the default port

    const QJsonObject object = candidateToJson(candidate);
    FUZZ_CHECK(object.value(QStringLiteral("external_id")).toString() == uid);
    FUZZ_CHECK(object.value(QStringLiteral("uid_hint")).toString() == uid);
    FUZZ_CHECK(object.value(QStringLiteral("address")).toString() == candidate.address);
    FUZZ_CHECK(!object.value(QStringLiteral("name")).toString().isEmpty());
    FUZZ_CHECK(object.value(QStringLiteral("description"))
                   .toString()
                   .startsWith(QStringLiteral("CAMP NITP at ")));
    const QJsonObject fields = object.value(QStringLiteral("user_defined_fields")).toObject();
    FUZZ_CHECK(fields.value(QStringLiteral("port")).toString() == QString::number(port));
    FUZZ_CHECK(fields.value(QStringLiteral("timeout")).toString() == QLatin1String("10000"));
    return 0;
}
