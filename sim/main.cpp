// camp-sim: simulated CTI 2500 PLCs behind 2572 modules, one per --listen address, until Ctrl-C.
#include "camp_handler.h"
#include "control_commands.h"
#include "oracle_pattern.h"
#include "plc_memory.h"
#include "preset.h"
#include "recorded_module.h"
#include "simulated_plc.h"
#include "write_journal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
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
    if (colon <= 0) {
        return false;
    }
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
    }
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port > 65535 || host.isEmpty()) {
        return false;
    }
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
    if (!parser.isSet(name)) {
        return true;
    }
    bool ok = false;
    const int number = parser.value(name).toInt(&ok);
    if (!ok || number < 0 || number > max) {
        return false;
    }
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
                       "of the read (e.g. V1-1999,K1-999; see man camp-sim)."),
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
            if (errno == EINTR) {
                continue;
            }
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
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            break;
        }
        pending.append(chunk, static_cast<int>(received));
        for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QString line = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            if (!line.trimmed().isEmpty()) {
                printLine(printMutex, runControlCommand(line, plc));
            }
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

// ---- parsing ---------------------------------------------------------------------------------

struct OptionNames
{
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("Show this help and the error codes.")};
    QCommandLineOption listen{
        QStringLiteral("listen"),
        QStringLiteral("Listen on ADDR:PORT (repeatable; port 0 picks a free port, printed on "
                       "start). Default 127.0.0.1:4450."),
        QStringLiteral("ADDR:PORT")};
    QCommandLineOption serial{
        QStringLiteral("serial"),
        QStringLiteral("Serial number in STW259 (0-65535). With several listeners the second "
                       "gets N+1, and so on."),
        QStringLiteral("N")};
    QCommandLineOption firmware{
        QStringLiteral("firmware"),
        QStringLiteral("Firmware version: major in STW260, minor in STW261 (e.g. 4.10)."),
        QStringLiteral("MAJ.MIN")};
    QCommandLineOption preset{
        QStringLiteral("preset"),
        QStringLiteral("JSON file with memory sizes and preset words (see man camp-sim)."),
        QStringLiteral("FILE")};
    QCommandLineOption latency{QStringLiteral("latency-ms"),
                               QStringLiteral("Delay before every reply, in ms."),
                               QStringLiteral("N")};
    QCommandLineOption maxConnections{
        QStringLiteral("max-connections"),
        QStringLiteral("Simultaneous connections per PLC; a further one is closed at once "
                       "(default 24)."),
        QStringLiteral("N")};
    QCommandLineOption idleTimeout{
        QStringLiteral("idle-timeout-ms"),
        QStringLiteral("Close a connection that sends nothing for N ms (default 0: never)."),
        QStringLiteral("N")};
    QCommandLineOption scanTime{
        QStringLiteral("scan-time-ms"),
        QStringLiteral("PLC scan time: requests are served at scan boundaries, at most 8 per "
                       "scan (default 0: at once)."),
        QStringLiteral("N")};
    QCommandLineOption faults{
        QStringLiteral("faults"),
        QStringLiteral("Faults from the start, as the faults command sets them (e.g. \"no-echo=1 "
                       "latency-ms=50\"; names below). They apply to every listener."),
        QStringLiteral("NAME=VALUE ...")};
    QCommandLineOption maxReadWords{
        QStringLiteral("max-read-words"),
        QStringLiteral("Refuse a read of more than N words (1-256) with error 0272, extended "
                       "code N, as a module that takes only smaller reads."),
        QStringLiteral("N")};
    QCommandLineOption replay{
        QStringLiteral("replay"),
        QStringLiteral("Answer as the module recorded in FILE did (see man camp-sim)."),
        QStringLiteral("FILE")};
    QCommandLineOption verbose{QStringLiteral("verbose"),
                               QStringLiteral("Print every request and reply frame.")};
    QCommandLineOption version{QStringLiteral("version"), QStringLiteral("Show the version.")};
    ControlOptionNames control;
};

// What the command line asks for.
struct Settings
{
    PlcConfig config;
    Preset preset;
    int serialNumber = 0;
    bool setSerial = false;
    bool setFirmware = false;
    Faults faults; // --latency-ms, --max-read-words and --faults
    QString replayPath;
    bool verbose = false;
    std::vector<ListenAddress> addresses;
    ControlOptions control;
};

// Options take precedence over the preset file. An exit code when the program is done (help,
// version, or a mistake told on standard error), or -1 to go on.
int parseSettings(QCommandLineParser& parser, const OptionNames& names, Settings& settings)
{
    parser.setApplicationDescription(QStringLiteral(
        "Simulated CTI 2500-series PLCs behind a 2572 Ethernet module, answering CAMP read (04)\n"
        "and write (06) requests over TCP. Each --listen address runs its own PLC with its own\n"
        "memory. Addresses count from 1 (V1 is the first V word). Ctrl-C stops it."));
    parser.addOptions({names.help, names.listen, names.serial, names.firmware, names.preset,
                       names.latency, names.maxConnections, names.idleTimeout, names.scanTime,
                       names.faults, names.maxReadWords, names.replay, names.verbose, names.version,
                       names.control.commands, names.control.pattern, names.control.journal});
    if (!parser.parse(QCoreApplication::arguments())) {
        return usageError(parser.errorText());
    }
    if (parser.isSet(names.help)) {
        std::printf("%s\n%s\n%s", qPrintable(parser.helpText()), qPrintable(errorCodeText()),
                    qPrintable(controlCommandHelp()));
        return 0;
    }
    if (parser.isSet(names.version)) {
        std::printf("camp-sim %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return usageError(
            QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    }

    PlcConfig& config = settings.config;
    QString error;
    if (parser.isSet(names.preset)) {
        if (!loadPresetFile(parser.value(names.preset), &settings.preset, &error)) {
            return usageError(error);
        }
        applyPresetToConfig(settings.preset, config);
    }
    settings.serialNumber = config.serial;
    settings.setSerial = parser.isSet(names.serial);
    settings.setFirmware = parser.isSet(names.firmware);
    settings.verbose = parser.isSet(names.verbose);
    settings.replayPath = parser.value(names.replay);
    if (!parseNumber(parser, names.serial.names().first(), 65535, &settings.serialNumber)) {
        return usageError(QStringLiteral("--serial takes a number from 0 to 65535"));
    }
    if (settings.setFirmware && !parseFirmware(parser.value(names.firmware), &config.firmwareMajor,
                                               &config.firmwareMinor)) {
        return usageError(QStringLiteral("--firmware takes MAJOR.MINOR, e.g. 4.10"));
    }
    if (!parseNumber(parser, names.latency.names().first(), 3600000, &settings.faults.latencyMs) ||
        !parseNumber(parser, names.maxConnections.names().first(), 100000,
                     &config.maxConnections) ||
        !parseNumber(parser, names.idleTimeout.names().first(), 86400000, &config.idleTimeoutMs) ||
        !parseNumber(parser, names.scanTime.names().first(), 3600000, &config.scanTimeMs) ||
        !parseNumber(parser, names.maxReadWords.names().first(), 256,
                     &settings.faults.maxReadWords) ||
        (parser.isSet(names.maxReadWords) && settings.faults.maxReadWords == 0)) {
        return usageError(QStringLiteral("a numeric option has a bad value"));
    }
    const QStringList faultSettings =
        parser.values(names.faults)
            .join(QLatin1Char(' '))
            .split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    if (!parseFaultSettings(faultSettings, &settings.faults, &error)) {
        return usageError(QStringLiteral("--faults: %1").arg(error));
    }

    const QStringList listenTexts = parser.isSet(names.listen)
                                        ? parser.values(names.listen)
                                        : QStringList{QStringLiteral("127.0.0.1:4450")};
    for (const QString& text : listenTexts) {
        ListenAddress address;
        if (!parseListenAddress(text, &address)) {
            return usageError(QStringLiteral("bad --listen address %1").arg(text));
        }
        settings.addresses.push_back(address);
    }
    if (!parseControlOptions(parser, names.control, static_cast<int>(settings.addresses.size()),
                             &settings.control, &error)) {
        return usageError(error);
    }
    return -1;
}

// ---- starting --------------------------------------------------------------------------------

// The index-th PLC of the command line, set up but not yet listening; null and the reason when
// its preset or control options do not fit it.
std::unique_ptr<SimulatedPlc> makePlc(const Settings& settings, size_t index,
                                      std::mutex& printMutex, QString* error)
{
    PlcConfig config = settings.config;
    if (settings.serialNumber != 0) {
        config.serial = static_cast<quint16>(settings.serialNumber + static_cast<int>(index));
    }
    auto plc = std::make_unique<SimulatedPlc>(config);
    if (!applyPresetWords(settings.preset, *plc, error)) {
        return nullptr;
    }
    if (settings.setSerial) {
        plc->setWord(kClassSTW, 259, config.serial);
    }
    if (settings.setFirmware) {
        plc->setWord(kClassSTW, 260, config.firmwareMajor);
        plc->setWord(kClassSTW, 261, config.firmwareMinor);
    }
    if (!attachControl(settings.control, *plc, error) ||
        (!settings.replayPath.isEmpty() && !attachReplay(settings.replayPath, *plc, error))) {
        return nullptr;
    }
    plc->setFaults(settings.faults);
    if (settings.verbose) {
        SimulatedPlc* raw = plc.get();
        plc->setTrace([raw, &printMutex](const QByteArray& request, const QByteArray& reply) {
            std::lock_guard<std::mutex> lock(printMutex);
            std::printf("%s:%u < %s\n%s:%u > %s\n", qPrintable(raw->address()), raw->port(),
                        request.constData(), qPrintable(raw->address()), raw->port(),
                        reply.isEmpty() ? "(no reply)" : reply.constData());
            std::fflush(stdout);
        });
    }
    return plc;
}

// Starts the PLC and says where it listens, as the tests and scripts that start camp-sim expect.
bool startListening(SimulatedPlc& plc, const ListenAddress& address, std::mutex& printMutex)
{
    if (!plc.start(address.host, address.port)) {
        std::fprintf(stderr, "camp-sim: %s\n", qPrintable(plc.lastError()));
        return false;
    }
    const bool v6 = plc.address().contains(QLatin1Char(':'));
    printLine(printMutex,
              QStringLiteral("camp-sim listening on %1%2%3:%4 serial %5 firmware %6.%7")
                  .arg(QLatin1String(v6 ? "[" : ""), plc.address(), QLatin1String(v6 ? "]" : ""))
                  .arg(plc.port())
                  .arg(plc.word(kClassSTW, 259))
                  .arg(plc.word(kClassSTW, 260))
                  .arg(plc.word(kClassSTW, 261)));
    return true;
}

// ---- running ---------------------------------------------------------------------------------

// Serves until SIGINT or SIGTERM (or, with --commands, the end of the input), then stops every PLC.
int runUntilStop(const Settings& settings, const sigset_t& stopSignals,
                 std::vector<std::unique_ptr<SimulatedPlc>>& plcs, std::mutex& printMutex)
{
    const QString reason = settings.control.commands
                               ? serveCommandsUntilStop(stopSignals, *plcs.front(), printMutex)
                               : waitForStopSignal(stopSignals);
    printLine(printMutex, QStringLiteral("camp-sim stopping (%1)").arg(reason));
    for (auto& plc : plcs) {
        plc->stop();
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("camp-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CAMP_NITP_VERSION));

    QCommandLineParser parser;
    const OptionNames names;
    Settings settings;
    const int done = parseSettings(parser, names, settings);
    if (done >= 0) {
        return done;
    }

    // SIGINT and SIGTERM are waited for below: block them before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::mutex printMutex;
    std::vector<std::unique_ptr<SimulatedPlc>> plcs;
    for (size_t i = 0; i < settings.addresses.size(); ++i) {
        QString error;
        plcs.push_back(makePlc(settings, i, printMutex, &error));
        if (!plcs.back()) {
            return usageError(error);
        }
        if (!startListening(*plcs.back(), settings.addresses[i], printMutex)) {
            return 1;
        }
    }
    return runUntilStop(settings, stopSignals, plcs, printMutex);
}
