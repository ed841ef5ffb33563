#pragma once
// The discovery service: finds CTI 2572 modules on the local IPv4 subnets by sending them a CAMP
// identify read, and reports the ones the host does not know yet as importable candidates.
// Everything here is exported from the plugin library for the host.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <atomic>

namespace CampDiscovery {

// Identify probe: V1 decides whether a CAMP device is there, STW259..261 add serial and firmware.
constexpr quint8 kAddressClassV = 1;
constexpr qint32 kIdentifyVAddress = 1;
constexpr quint8 kAddressClassStw = 26;
constexpr qint32 kStwSerial = 259;
constexpr qint32 kStwFirmwareMajor = 260; // the minor number follows in 261
constexpr quint16 kStwIdentityWordCount = 3;

// Scan limits and defaults.
constexpr int kDefaultTimeoutMs = 60000;
constexpr quint16 kDefaultPort = 4450;
constexpr int kTcpConnectTimeoutMs = 80;
constexpr int kIdentifyTimeoutMs = 2500;
constexpr int kMaxTcpScanHosts = 256;
constexpr int kMaxTcpScanPorts = 64;
constexpr int kMaxSynWorkers = 48;

// The outcome of probing one host and port.
struct IdentifyResult
{
    bool campReply = false;     // a well-formed CAMP reply came back to the V1 request
    bool protocolError = false; // that reply was a CAMP error reply
    QString v0Word;             // its first data word, four upper-case hex digits
    QString serial;             // decimal text of STW259
    QString firmware;           // "major.minor" from STW260 and STW261
    // Without a CAMP reply: the module closed or reset the connection instead of answering.
    bool closedWithoutReply = false;
};

// A controller found by a scan.
struct Candidate
{
    QString address;
    quint16 port = kDefaultPort;
    QString v0Word;
    QString serial;
    QString firmware;
    bool protocolError = false;
};

// Scan settings, read from the host's request by optionsFromRequest.
struct Options
{
    int timeoutMs = kDefaultTimeoutMs; // the scan window
    QString networkInterface;          // empty: every interface
    QList<quint16> tcpPorts;           // probed on every host, in this order
    QStringList existingUids;          // devices the host already has
    bool tcpSubnetScan = true;
    QStringList hosts; // explicit targets; empty: the hosts of the interfaces' subnets
};

// The identify probe of one host and port. One object serves all workers of a scan at once, so
// implementations must allow concurrent calls.
class Transport
{
public:
    virtual ~Transport() = default;
    virtual IdentifyResult tcpIdentify(const QString& host, quint16 port, int connectTimeoutMs,
                                       int identifyTimeoutMs) = 0;
};

// The real probe over blocking, time-bounded POSIX sockets. Holds no state.
class QtTransport : public Transport
{
public:
    IdentifyResult tcpIdentify(const QString& host, quint16 port, int connectTimeoutMs,
                               int identifyTimeoutMs) override;
};

// Frames.
QByteArray hexAscii(quint32 value, int width);
QByteArray campBcc(const QByteArray& data);
QByteArray readDataRequest(quint8 addressClass, quint32 address, quint16 count);
QByteArray vMemoryIdentifyRequest();
QByteArray stwIdentityRequest();
QByteArray firstCampFrame(const QByteArray& data);
bool parseCampReply(const QByteArray& data, IdentifyResult* result);
QStringList parseCampReadWords(const QByteArray& data, bool* errorReply);
QMap<QString, QString> identityFromStwWords(const QStringList& words);
// Serial (STW259) and firmware (STW260.STW261) texts; zeros stand for "not set".
QMap<QString, QString> identityFromStwValues(quint16 serial, quint16 firmwareMajor,
                                             quint16 firmwareMinor);

// Candidates.
QString uidFor(const QString& host, quint16 port);
QJsonObject candidateToJson(const Candidate& candidate);

// Request options.
Options optionsFromRequest(const QJsonObject& request, QStringList* log);
QList<quint16> parsePortList(const QString& text, const QList<quint16>& defaultPorts);

// Targets and scan.
QStringList ipv4HostsOnInterface(const QString& interfaceName, QStringList* log);
QList<Candidate> discoverDevices(const Options& options, Transport& transport, QStringList* log,
                                 std::atomic<bool>* cancel);

} // namespace CampDiscovery
