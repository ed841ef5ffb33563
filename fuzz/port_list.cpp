// The "tcp_ports" grammar on arbitrary text: parsePortList never returns more than 64 ports, a
// port outside 1-65535, a port twice, or nothing at all; a text that is one usable port gives
// exactly that port.
//
// Input: the text, as UTF-8.

#include "camp_discovery.h"
#include "fuzz_support.h"

using namespace CampDiscovery;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const QList<quint16> defaults = {kDefaultPort};
    const QList<quint16> ports = parsePortList(text, defaults);

    FUZZ_CHECK(!ports.isEmpty() && ports.size() <= kMaxTcpScanPorts);
    for (int i = 0; i < ports.size(); ++i) {
        FUZZ_CHECK(ports[i] >= 1);
        FUZZ_CHECK(ports.indexOf(ports[i]) == i);
    }

    bool isNumber = false;
    const int single = text.trimmed().toInt(&isNumber, 10);
    if (isNumber && single >= 1 && single <= 65535) {
        FUZZ_CHECK(ports == QList<quint16>{static_cast<quint16>(single)});
    }
    return 0;
}
