// The discovery request as the host sends it, on arbitrary JSON: optionsFromRequest must read any
// document into options inside their bounds (a window of 1 to 300 s, 1 to 64 distinct usable
// ports) and never fail.
//
// Input: a JSON document. An array stands for the "existing_devices" list.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "camp_discovery.h"
#include "fuzz_support.h"

using namespace CampDiscovery;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const QJsonDocument document = QJsonDocument::fromJson(text);
    QJsonObject request = document.object();
    if (document.isArray()) {
        request.insert(QStringLiteral("existing_devices"), document.array());
    }

    QStringList log;
    const Options options = optionsFromRequest(request, &log);
    FUZZ_CHECK(options.timeoutMs >= 1000 && options.timeoutMs <= 300000);
    FUZZ_CHECK(!options.tcpPorts.isEmpty() && options.tcpPorts.size() <= kMaxTcpScanPorts);
    for (int i = 0; i < options.tcpPorts.size(); ++i) {
        FUZZ_CHECK(options.tcpPorts[i] >= 1);
        FUZZ_CHECK(options.tcpPorts.indexOf(options.tcpPorts[i]) == i);
    }
    FUZZ_CHECK(options.hosts.isEmpty()); // a request never names scan targets itself
    // Every known device adds at most two uids (its own and that of its address and port).
    const int devices = request.value(QStringLiteral("existing_devices")).toArray().size();
    FUZZ_CHECK(options.existingUids.size() <= 2 * devices);
    return 0;
}
