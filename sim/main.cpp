// camp-sim: simulated CTI 2500 PLCs behind 2572 modules, one per --listen address, until Ctrl-C.
#include "camp_handler.h"
#include "control_commands.h"
#include "oracle_pattern.h"
#include "plc_memory.h"
#include "preset.h"
#include "simulated_plc.h"
#include "write_journal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

using namespace camp_sim;

namespace {

struct ListenAddress
{
    QString host;
    quint16 port = 0;
};

// "127.0.0.1:4450", "[::1]:4450", "0.0.0.0:0".
bool parseListenAddress(const QString& text, ListenAddress* result)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port > 65535 || host.isEmpty())
        return false;
    result->host = host;
    result->port = static_cast<quint16>(port);
    return true;
}

QString errorCodeText()
{
    QString text = QStringLiteral("Error replies (\"F\" at position 3, code at 23-26, extended "
                                  "code at 27-30):\n");
    for (const ErrorCodeInfo& info : errorCodes()) {
        text += QStringLiteral("  %1  %2\n")
                    .arg(static_cast<uint>(info.code), 4, 16, QLatin1Char('0'))
                    .toUpper()
                    .arg(QString::fromLatin1(info.meaning));
    }
    text += QStringLiteral("The extended code is 0000 unless the list says otherwise.\n");
    return text;
}

int usageError(const QString& message)
{
    std::fprintf(stderr, "camp-sim: %s\nTry camp-sim --help.\n", qPrintable(message));
    return 2;
}

bool parseNumber(const QCommandLineParser& parser, const QString& name, int max, int* value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int number = parser.value(name).toInt(&ok);
    if (!ok || number < 0 || number > max)
        return false;
    *value = number;
    return true;
}

// ---- steering a running PLC: --commands, --oracle-pattern, --journal ----------------------

struct ControlOptionNames
{
    QCommandLineOption commands{
        QStringLiteral("commands"),
        QStringLiteral("Read commands from standard input, one a line, each answered by one "
                       "line (see below); the end of the input stops the program. Needs a single "
                       "--listen.")};
    QCommandLineOption pattern{
        QStringLiteral("oracle-pattern"),
        QStringLiteral("Fill these words with a pattern that tells class, address and the time "
                       "of the read (e.g. V1-1999,K1-999; see sim/README.md)."),
        QStringLiteral("RANGES")};
    QCommandLineOption journal{
        QStringLiteral("journal"),
        QStringLiteral("Keep written words in FILE: every write is appended before it is "
                       "answered, and FILE is replayed at start. Needs a single --listen."),
        QStringLiteral("FILE")};
};

struct ControlOptions
{
    bool commands = false;
    QList<WordRange> pattern;
    QString journalPath;
};

bool parseControlOptions(const QCommandLineParser& parser, const ControlOptionNames& names,
                         int listeners, ControlOptions* options, QString* error)
{
    options->commands = parser.isSet(names.commands);
    options->journalPath = parser.value(names.journal);
    if ((options->commands || parser.isSet(names.journal)) && listeners != 1) {
        *error = QStringLiteral("--commands and --journal steer one PLC: give a single --listen");
        return false;
    }
    return !parser.isSet(names.pattern) ||
           parseWordRanges(parser.value(names.pattern), &options->pattern, error);
}

// Before start(): the pattern as the PLC's program, and the journal replayed and kept.
bool attachControl(const ControlOptions& options, SimulatedPlc& plc, QString* error)
{
    for (const WordRange& range : options.pattern) {
        if (range.last > plc.memorySize(range.addressClass)) {
            *error = QStringLiteral("the pattern's words %1%2-%3 lie outside memory")
                         .arg(addressClassLabel(range.addressClass))
                         .arg(range.first)
                         .arg(range.last);
            return false;
        }
    }
    if (!options.pattern.isEmpty()) {
        auto pattern = std::make_shared<OraclePattern>(options.pattern);
        plc.setProgram([pattern](PlcMemory& memory) { pattern->applyNow(memory); });
    }
    return options.journalPath.isEmpty() || attachWriteJournal(options.journalPath, plc, error);
}

void printLine(std::mutex& printMutex, const QString& line)
{
    std::lock_guard<std::mutex> lock(printMutex);
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Runs the commands that arrive on standard input until a stop signal or the end of the input;
// what stopped it.
QString serveCommandsUntilStop(const sigset_t& stopSignals, SimulatedPlc& plc,
                               std::mutex& printMutex)
{
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    QByteArray pending;
    QString reason = QStringLiteral("end of input");
    for (;;) {
        pollfd polls[2] = {{STDIN_FILENO, POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (::poll(polls, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (polls[1].revents != 0) {
            signalfd_siginfo info{};
            const bool read = ::read(signalFd, &info, sizeof info) == sizeof info;
            reason = read && info.ssi_signo == SIGINT ? QStringLiteral("SIGINT")
                                                      : QStringLiteral("SIGTERM");
            break;
        }
        char chunk[4096];
        const ssize_t received = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            break;
        pending.append(chunk, static_cast<int>(received));
        for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QString line = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            if (!line.trimmed().isEmpty())
                printLine(printMutex, runControlCommand(line, plc));
        }
    }
    ::close(signalFd);
    return reason;
}

QString waitForStopSignal(const sigset_t& stopSignals)
{
    int signal = 0;
    sigwait(&stopSignals, &signal);
    return signal == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("camp-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated CTI 2500-series PLCs behind a 2572 Ethernet module, answering CAMP read (04)\n"
        "and write (06) requests over TCP. Each --listen address runs its own PLC with its own\n"
        "memory. Addresses count from 1 (V1 is the first V word). Ctrl-C stops it."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and the error codes."));
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("Listen on ADDR:PORT (repeatable; port 0 picks a free port, printed on "
                       "start). Default 127.0.0.1:4450."),
        QStringLiteral("ADDR:PORT"));
    const QCommandLineOption serial(
        QStringLiteral("serial"),
        QStringLiteral("Serial number in STW259 (0-65535). With several listeners the second "
                       "gets N+1, and so on."),
        QStringLiteral("N"));
    const QCommandLineOption firmware(QStringLiteral("firmware"),
                                      QStringLiteral("Firmware version: major in STW260, minor "
                                                     "in STW261 (e.g. 4.10)."),
                                      QStringLiteral("MAJ.MIN"));
    const QCommandLineOption preset(
        QStringLiteral("preset"),
        QStringLiteral("JSON file with memory sizes and preset words (see sim/README.md)."),
        QStringLiteral("FILE"));
    const QCommandLineOption latency(QStringLiteral("latency-ms"),
                                     QStringLiteral("Delay before every reply, in ms."),
                                     QStringLiteral("N"));
    const QCommandLineOption maxConnections(
        QStringLiteral("max-connections"),
        QStringLiteral("Simultaneous connections per PLC; a further one is closed at once "
                       "(default 24)."),
        QStringLiteral("N"));
    const QCommandLineOption idleTimeout(
        QStringLiteral("idle-timeout-ms"),
        QStringLiteral("Close a connection that sends nothing for N ms (default 0: never)."),
        QStringLiteral("N"));
    const QCommandLineOption scanTime(
        QStringLiteral("scan-time-ms"),
        QStringLiteral("PLC scan time: requests are served at scan boundaries, at most 8 per "
                       "scan (default 0: at once)."),
        QStringLiteral("N"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Print every request and reply frame."));
    parser.addOptions({help, listen, serial, firmware, preset, latency, maxConnections, idleTimeout,
                       scanTime, verbose});
    const ControlOptionNames controlNames;
    parser.addOptions({controlNames.commands, controlNames.pattern, controlNames.journal});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::printf("%s\n%s\n%s", qPrintable(parser.helpText()), qPrintable(errorCodeText()),
                    qPrintable(controlCommandHelp()));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    // Options take precedence over the preset file.
    PlcConfig config;
    Preset presetContents;
    if (parser.isSet(preset)) {
        QString error;
        if (!loadPresetFile(parser.value(preset), &presetContents, &error))
            return usageError(error);
        applyPresetToConfig(presetContents, config);
    }
    int serialNumber = config.serial;
    int latencyMs = 0;
    if (!parseNumber(parser, serial.names().first(), 65535, &serialNumber))
        return usageError(QStringLiteral("--serial takes a number from 0 to 65535"));
    if (parser.isSet(firmware) &&
        !parseFirmware(parser.value(firmware), &config.firmwareMajor, &config.firmwareMinor))
        return usageError(QStringLiteral("--firmware takes MAJOR.MINOR, e.g. 4.10"));
    if (!parseNumber(parser, latency.names().first(), 3600000, &latencyMs) ||
        !parseNumber(parser, maxConnections.names().first(), 100000, &config.maxConnections) ||
        !parseNumber(parser, idleTimeout.names().first(), 86400000, &config.idleTimeoutMs) ||
        !parseNumber(parser, scanTime.names().first(), 3600000, &config.scanTimeMs))
        return usageError(QStringLiteral("a numeric option has a bad value"));

    std::vector<ListenAddress> addresses;
    const QStringList listenTexts = parser.isSet(listen)
                                        ? parser.values(listen)
                                        : QStringList{QStringLiteral("127.0.0.1:4450")};
    for (const QString& text : listenTexts) {
        ListenAddress address;
        if (!parseListenAddress(text, &address))
            return usageError(QStringLiteral("bad --listen address %1").arg(text));
        addresses.push_back(address);
    }
    ControlOptions control;
    QString controlError;
    if (!parseControlOptions(parser, controlNames, static_cast<int>(addresses.size()), &control,
                             &controlError))
        return usageError(controlError);

    // SIGINT and SIGTERM are taken by sigwait below: block them before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::mutex printMutex;
    std::vector<std::unique_ptr<SimulatedPlc>> plcs;
    for (size_t i = 0; i < addresses.size(); ++i) {
        PlcConfig plcConfig = config;
        if (serialNumber != 0)
            plcConfig.serial = static_cast<quint16>(serialNumber + static_cast<int>(i));
        auto plc = std::make_unique<SimulatedPlc>(plcConfig);
        QString error;
        if (!applyPresetWords(presetContents, *plc, &error))
            return usageError(error);
        if (parser.isSet(serial))
            plc->setWord(kClassSTW, 259, plcConfig.serial);
        if (parser.isSet(firmware)) {
            plc->setWord(kClassSTW, 260, plcConfig.firmwareMajor);
            plc->setWord(kClassSTW, 261, plcConfig.firmwareMinor);
        }
        if (!attachControl(control, *plc, &error))
            return usageError(error);
        Faults faults;
        faults.latencyMs = latencyMs;
        plc->setFaults(faults);
        if (parser.isSet(verbose)) {
            SimulatedPlc* raw = plc.get();
            plc->setTrace([raw, &printMutex](const QByteArray& request, const QByteArray& reply) {
                std::lock_guard<std::mutex> lock(printMutex);
                std::printf("%s:%u < %s\n%s:%u > %s\n", qPrintable(raw->address()), raw->port(),
                            request.constData(), qPrintable(raw->address()), raw->port(),
                            reply.isEmpty() ? "(no reply)" : reply.constData());
                std::fflush(stdout);
            });
        }
        if (!plc->start(addresses[i].host, addresses[i].port)) {
            std::fprintf(stderr, "camp-sim: %s\n", qPrintable(plc->lastError()));
            return 1;
        }
        {
            std::lock_guard<std::mutex> lock(printMutex);
            const bool v6 = plc->address().contains(QLatin1Char(':'));
            std::printf("camp-sim listening on %s%s%s:%u serial %u firmware %u.%u\n", v6 ? "[" : "",
                        qPrintable(plc->address()), v6 ? "]" : "", plc->port(),
                        plc->word(kClassSTW, 259), plc->word(kClassSTW, 260),
                        plc->word(kClassSTW, 261));
            std::fflush(stdout);
        }
        plcs.push_back(std::move(plc));
    }

    const QString reason = control.commands
                               ? serveCommandsUntilStop(stopSignals, *plcs.front(), printMutex)
                               : waitForStopSignal(stopSignals);
    printLine(printMutex, QStringLiteral("camp-sim stopping (%1)").arg(reason));
    for (auto& plc : plcs)
        plc->stop();
    return 0;
}
