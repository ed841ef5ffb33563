#include "control_commands.h"

#include "plc_memory.h"
#include "simulated_plc.h"

#include <QRegularExpression>
#include <QStringList>

#include <functional>
#include <vector>

namespace camp_sim {

namespace {

QString failed(const QString& reason)
{
    return QStringLiteral("error: ") + reason;
}

bool parseInt(const QString& text, int min, int max, int* value)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < min || number > max) {
        return false;
    }
    *value = number;
    return true;
}

bool parseFlag(const QString& text, bool* value)
{
    if (text != QLatin1String("0") && text != QLatin1String("1")) {
        return false;
    }
    *value = text == QLatin1String("1");
    return true;
}

// One fault name: how its value is read into Faults.
struct FaultSetting
{
    const char* name;
    const char* value; // for the help text
    std::function<bool(const QString& value, Faults& faults)> apply;
};

FaultSetting number(const char* name, int min, int max, int Faults::*field)
{
    return {name, "N",
            [=](const QString& text, Faults& f) { return parseInt(text, min, max, &(f.*field)); }};
}

FaultSetting flag(const char* name, bool Faults::*field)
{
    return {name, "0|1",
            [=](const QString& text, Faults& f) { return parseFlag(text, &(f.*field)); }};
}

const std::vector<FaultSetting>& faultSettings()
{
    constexpr int kHour = 3600000;
    static const std::vector<FaultSetting> settings = {
        number("latency-ms", 0, kHour, &Faults::latencyMs),
        number("chunk-bytes", 0, 1 << 20, &Faults::chunkBytes),
        number("chunk-pause-ms", 0, kHour, &Faults::chunkPauseMs),
        {"junk-before-reply", "TEXT",
         [](const QString& text, Faults& f) {
             f.junkBeforeReply = text.toLatin1();
             return true;
         }},
        flag("silent", &Faults::silent),
        number("close-after-requests", 0, 1 << 30, &Faults::closeAfterRequests),
        flag("close-mid-reply", &Faults::closeMidReply),
        number("short-reply-words", -1, 256, &Faults::shortReplyWords),
        {"error-address", "ADDRESS",
         [](const QString& text, Faults& f) {
             int addressClass = 0;
             quint32 address = 0;
             if (!parseWordAddress(text, &addressClass, &address)) {
                 return false;
             }
             f.errorAddresses.append({addressClass, address});
             return true;
         }},
        flag("duplicate-read-reply", &Faults::duplicateReadReply),
        number("read-reply-address-offset", -0xFFFFFF, 0xFFFFFF, &Faults::readReplyAddressOffset),
        flag("read-reply-to-write", &Faults::readReplyToWrite),
        flag("non-hex-in-reply-words", &Faults::nonHexInReplyWords),
        flag("no-echo", &Faults::noEcho),
        number("garbled-digit-percent", 0, 100, &Faults::garbledDigitPercent),
        flag("foreign-write-reply", &Faults::foreignWriteReply),
        number("connection-limit", 0, 100000, &Faults::connectionLimit),
        number("silent-beyond", 0, 100000, &Faults::silentBeyond),
        flag("endless-stream", &Faults::endlessStream),
        flag("accept-and-close", &Faults::acceptAndClose),
        flag("text-service", &Faults::textService),
        number("max-read-words", 0, 256, &Faults::maxReadWords),
    };
    return settings;
}

} // namespace

bool parseFaultSettings(const QStringList& arguments, Faults* faults, QString* error)
{
    for (const QString& argument : arguments) {
        const int equals = argument.indexOf(QLatin1Char('='));
        const QString name = argument.left(equals);
        const QString value = equals < 0 ? QString() : argument.mid(equals + 1);
        bool known = false;
        for (const FaultSetting& setting : faultSettings()) {
            if (name != QLatin1String(setting.name)) {
                continue;
            }
            known = true;
            if (equals < 0 || !setting.apply(value, *faults)) {
                *error = QStringLiteral("%1 takes %2").arg(name, QLatin1String(setting.value));
                return false;
            }
        }
        if (!known) {
            *error = QStringLiteral("no fault named %1").arg(name);
            return false;
        }
    }
    return true;
}

namespace {

QString setFaults(const QStringList& arguments, SimulatedPlc& plc)
{
    Faults faults;
    QString error;
    if (!parseFaultSettings(arguments, &faults, &error)) {
        return failed(error);
    }
    plc.setFaults(faults); // all or nothing: only a line without mistakes changes the faults
    return QStringLiteral("ok");
}

QString setScanTime(const QStringList& arguments, SimulatedPlc& plc)
{
    int scanTimeMs = 0;
    if (arguments.size() != 1 || !parseInt(arguments.first(), 1, 3600000, &scanTimeMs)) {
        return failed(QStringLiteral("scan-time-ms takes one number from 1 to 3600000"));
    }
    if (!plc.setScanTimeMs(scanTimeMs)) {
        return failed(QStringLiteral("this PLC answers at once; start it with --scan-time-ms"));
    }
    return QStringLiteral("ok");
}

bool inMemory(const SimulatedPlc& plc, int addressClass, quint32 first, int count)
{
    return first >= 1 && count >= 1 &&
           quint64(first) + quint64(count) - 1 <= plc.memorySize(addressClass);
}

QString setWords(const QStringList& arguments, SimulatedPlc& plc)
{
    static const QRegularExpression hexWord(QStringLiteral("^[0-9A-Fa-f]{1,4}$"));
    int addressClass = 0;
    quint32 address = 0;
    if (arguments.size() < 2 || !parseWordAddress(arguments.first(), &addressClass, &address)) {
        return failed(QStringLiteral("set takes an address and hex words: set V100 1234 00FF"));
    }
    if (!inMemory(plc, addressClass, address, arguments.size() - 1)) {
        return failed(QStringLiteral("the words lie outside memory"));
    }
    QList<quint16> words;
    for (const QString& text : arguments.mid(1)) {
        if (!hexWord.match(text).hasMatch()) {
            return failed(QStringLiteral("%1 is not a hex word").arg(text));
        }
        words.append(static_cast<quint16>(text.toUInt(nullptr, 16)));
    }
    for (int i = 0; i < words.size(); ++i) {
        plc.setWord(addressClass, address + quint32(i), words[i]);
    }
    return QStringLiteral("ok");
}

QString readWords(const QStringList& arguments, SimulatedPlc& plc)
{
    int addressClass = 0;
    quint32 address = 0;
    int count = 1;
    if (arguments.isEmpty() || arguments.size() > 2 ||
        !parseWordAddress(arguments.first(), &addressClass, &address) ||
        (arguments.size() == 2 && !parseInt(arguments[1], 1, 256, &count))) {
        return failed(QStringLiteral("read takes an address and a count from 1 to 256"));
    }
    if (!inMemory(plc, addressClass, address, count)) {
        return failed(QStringLiteral("the words lie outside memory"));
    }
    QString reply = QStringLiteral("ok");
    for (int i = 0; i < count; ++i) {
        const quint16 word = plc.word(addressClass, address + quint32(i));
        reply += QLatin1Char(' ') + QString::number(word, 16).toUpper().rightJustified(4, '0');
    }
    return reply;
}

QString status(const SimulatedPlc& plc)
{
    return QStringLiteral("ok open %1 accepted %2 refused %3 requests %4")
        .arg(plc.openConnections())
        .arg(plc.connectionCount())
        .arg(plc.refusedConnections())
        .arg(plc.requestCount());
}

} // namespace

QString runControlCommand(const QString& line, SimulatedPlc& plc)
{
    const QStringList words =
        line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    if (words.isEmpty()) {
        return failed(QStringLiteral("empty command"));
    }
    const QString command = words.first();
    const QStringList arguments = words.mid(1);
    if (command == QLatin1String("faults")) {
        return setFaults(arguments, plc);
    }
    if (command == QLatin1String("scan-time-ms")) {
        return setScanTime(arguments, plc);
    }
    if (command == QLatin1String("drop-connections") && arguments.isEmpty()) {
        plc.dropConnections();
        return QStringLiteral("ok");
    }
    if (command == QLatin1String("set")) {
        return setWords(arguments, plc);
    }
    if (command == QLatin1String("read")) {
        return readWords(arguments, plc);
    }
    if (command == QLatin1String("status") && arguments.isEmpty()) {
        return status(plc);
    }
    return failed(QStringLiteral("unknown command %1").arg(line.trimmed()));
}

QString controlCommandHelp()
{
    QString text = QStringLiteral(
        "Commands on standard input (--commands), one a line, each answered by one line, \"ok\"\n"
        "and what it reports, or \"error: \" and why:\n"
        "  faults [NAME=VALUE ...]  replace every fault: the ones named, the others off\n"
        "  scan-time-ms N           stretch or shrink the scan (started with --scan-time-ms)\n"
        "  drop-connections         close every open connection\n"
        "  set ADDRESS WORD...      write hex words from ADDRESS on, e.g. set V100 1234 00FF\n"
        "  read ADDRESS [COUNT]     the hex words from ADDRESS on, e.g. read V100 2\n"
        "  status                   connections open, accepted and refused, requests received\n"
        "Faults:");
    for (const FaultSetting& setting : faultSettings()) {
        text +=
            QStringLiteral(" %1=%2").arg(QLatin1String(setting.name), QLatin1String(setting.value));
    }
    return text + QStringLiteral("\n");
}

} // namespace camp_sim
