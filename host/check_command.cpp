// kib-host check HOST[:PORT]: what a module does, measured with read requests only, and the device
// columns to set for it (module_check.h). A plant engineer runs it once when commissioning.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

#include "commands.h"
#include "console.h"
#include "module_check.h"

namespace kib_host {

namespace {

const QString kCheckHelp = QStringLiteral(
    "Usage: kib-host check [options] HOST[:PORT]\n"
    "\n"
    "Measures what the module at HOST (port 4450 unless given) does, for commissioning, and\n"
    "names the device columns to set for it. It sends read requests only, never a write:\n"
    "  identity         the serial number (STW259) and firmware (STW260.STW261)\n"
    "  reply form       whether read replies echo the request's class and address, the\n"
    "                   width and letter case of the check field (BCC), and how a read of\n"
    "                   256 words is answered\n"
    "  round trip       minimum, median and maximum of 20 one-word reads of V1 (fewer on a\n"
    "                   module so slow that 20 would take more than 8 s), and the time\n"
    "                   of one 256-word read\n"
    "  largest read     256 words from V1, then 128, 64, ... until one is answered\n"
    "  connections      how many it takes at once, up to --connections, each asked one read\n"
    "  refusals         what it answers for class 1F, which it does not have, and for\n"
    "                   V16777215, past the end of its memory\n"
    "Then it names the columns to set: timeout (4 x the worst round trip, at least 1000 ms),\n"
    "connections (one fewer than it took, so one stays free for others) and max_block_words\n"
    "when it refuses 256-word reads. Every connection is closed before it ends.\n"
    "\n"
    "Options:\n"
    "  -t, --timeout MS    milliseconds for each connect and each reply (default 2500)\n"
    "  -p, --port PORT     the port of a HOST without one (default 4450)\n"
    "  --connections N     connections to try at once, 1 to 32 (default 8)\n"
    "  -j, --json          one JSON object instead of the table\n"
    "  --record FILE       every frame sent and received into FILE, one line a frame\n"
    "  -v, --verbose       every frame on standard error\n"
    "\n"
    "Exit status 0 when the module was measured, 1 when not (it could not be reached, or a\n"
    "request went unanswered: the report says why), 2 after a mistake in the command line\n"
    "(nothing is sent then).\n");

constexpr int kMaxConnections = 32;

QString milliseconds(double ms)
{
    return QStringLiteral("%1 ms").arg(ms, 0, 'f', 2);
}

struct RoundTrips
{
    double minimum = 0;
    double median = 0;
    double maximum = 0;
};

RoundTrips roundTrips(QList<double> times)
{
    if (times.isEmpty()) {
        return {};
    }
    std::sort(times.begin(), times.end());
    const int middle = times.size() / 2;
    const double median =
        times.size() % 2 == 1 ? times[middle] : (times[middle - 1] + times[middle]) / 2;
    return {times.first(), median, times.last()};
}

const ReadAnswer* read256(const ModuleReport& report)
{
    return report.blockReads.isEmpty() ? nullptr : &report.blockReads.first().answer;
}

// "answered", the error codes, or what went wrong; empty when the request was never made.
QString answerText(const ReadAnswer& answer)
{
    switch (answer.kind) {
    case ReadAnswer::Kind::Words:
        return answer.hasAllWords() ? QStringLiteral("answered")
                                    : QStringLiteral("answered %1 of %2 words")
                                          .arg(answer.words.size())
                                          .arg(answer.requested);
    case ReadAnswer::Kind::ErrorReply:
        return QStringLiteral("error code %1, extended code %2")
            .arg(QString::fromLatin1(answer.codes.code),
                 QString::fromLatin1(answer.codes.extendedCode));
    default:
        return answer.problem;
    }
}

QString resultName(ReadAnswer::Kind kind)
{
    switch (kind) {
    case ReadAnswer::Kind::Words:
        return QStringLiteral("answered");
    case ReadAnswer::Kind::ErrorReply:
        return QStringLiteral("error reply");
    case ReadAnswer::Kind::Unusable:
        return QStringLiteral("unusable");
    case ReadAnswer::Kind::NoReply:
        return QStringLiteral("no reply");
    case ReadAnswer::Kind::Closed:
        return QStringLiteral("closed");
    case ReadAnswer::Kind::NotAsked:
        break;
    }
    return QStringLiteral("not asked");
}

QString identityText(const ModuleReport& report)
{
    if (!report.identity.hasAllWords()) {
        return answerText(report.identity);
    }
    return QStringLiteral("serial %1, firmware %2")
        .arg(report.serial.isEmpty() ? QStringLiteral("not set") : report.serial,
             report.firmware.isEmpty() ? QStringLiteral("not set") : report.firmware);
}

QString echoText(const ReplyForm& form)
{
    if (form.readReplies == 0) {
        return QString();
    }
    if (form.echoing == form.readReplies) {
        return QStringLiteral("yes");
    }
    const QString held = QString::fromLatin1(form.otherEcho);
    return form.echoing == 0 ? QStringLiteral("no (positions 5-12 hold %1)").arg(held)
                             : QStringLiteral("%1 of %2 read replies (one held %3)")
                                   .arg(form.echoing)
                                   .arg(form.readReplies)
                                   .arg(held);
}

QString checkCase(const ReplyForm& form)
{
    if (form.upperCaseCheck && form.lowerCaseCheck) {
        return QStringLiteral("mixed");
    }
    if (form.upperCaseCheck || form.lowerCaseCheck) {
        return form.upperCaseCheck ? QStringLiteral("upper") : QStringLiteral("lower");
    }
    return QStringLiteral("unknown (digits only)");
}

QString read256Text(const ModuleReport& report)
{
    const ReadAnswer* answer = read256(report);
    if (!answer || !answer->hasAllWords()) {
        return answer ? answerText(*answer) : QString();
    }
    return QStringLiteral("%1 words, count field %2")
        .arg(answer->words.size())
        .arg(QString::fromLatin1(answer->countField));
}

QString connectionsText(const ModuleReport& report)
{
    if (report.connectionsTried == 0) {
        return QString();
    }
    const QString taken =
        QStringLiteral("%1 of %2").arg(report.connectionsTaken).arg(report.connectionsTried);
    return report.connectionsEnd.isEmpty() ? taken : taken + "; " + report.connectionsEnd;
}

// What was measured, one row each; rows of what was never measured are left out.
QList<QStringList> measurementRows(const ModuleReport& report)
{
    const RoundTrips trips = roundTrips(report.roundTripsMs);
    const ReadAnswer* first = read256(report);
    QList<QStringList> rows{
        {"identity", identityText(report)},
        {"echo of class and address", echoText(report.form)},
        {"check field (BCC)", report.form.checkWidth == 0 ? QString()
                                                          : QStringLiteral("%1 hex digits, %2 case")
                                                                .arg(report.form.checkWidth)
                                                                .arg(checkCase(report.form))},
        {"read of 256 words", read256Text(report)},
        {QStringLiteral("round trip (%1 reads of V1)").arg(report.roundTripsMs.size()),
         report.roundTripsMs.isEmpty()
             ? QString()
             : QStringLiteral("min %1, median %2, max %3")
                   .arg(milliseconds(trips.minimum), milliseconds(trips.median),
                        milliseconds(trips.maximum))},
        {"time of a 256-word read",
         first && first->hasAllWords() ? milliseconds(first->roundTripMs) : QString()}};
    // The sizes below 256 words that were refused on the way down.
    for (const BlockRead& read : report.blockReads.mid(1)) {
        if (!read.answer.hasAllWords()) {
            rows.append(
                {QStringLiteral("read of %1 words").arg(read.words), answerText(read.answer)});
        }
    }
    rows.append(
        {{"largest read",
          report.largestRead > 0 ? QStringLiteral("%1 words").arg(report.largestRead) : QString()},
         {"connections at once", connectionsText(report)},
         {QStringLiteral("class %1 (unknown)").arg(QString::number(kUnknownClass, 16).toUpper()),
          answerText(report.unknownClass)},
         {QStringLiteral("V%1 (past the end)").arg(kPastEndAddress), answerText(report.pastEnd)}});
    return rows;
}

QString tableText(const ModuleReport& report)
{
    QString text =
        report.measured
            ? QStringLiteral("Module %1, measured with read requests only\n").arg(report.module)
            : QStringLiteral("Module %1: not measured: %2\n").arg(report.module, report.failure);
    if (report.identity.kind == ReadAnswer::Kind::NotAsked) {
        return text;
    }
    Table table({QStringLiteral("WHAT"), QStringLiteral("RESULT")});
    for (const QStringList& row : measurementRows(report)) {
        if (!row[1].isEmpty()) {
            table.addRow(row);
        }
    }
    text += table.render();
    const QList<Recommendation> columns = recommendations(report);
    if (!columns.isEmpty()) {
        Table set({QStringLiteral("COLUMN"), QStringLiteral("VALUE"), QStringLiteral("WHY")});
        for (const Recommendation& column : columns) {
            set.addRow({column.column, QString::number(column.value), column.why});
        }
        text += QStringLiteral("\nSet these device columns:\n") + set.render();
    }
    return text;
}

double roundedMs(double ms)
{
    return std::round(ms * 1000) / 1000;
}

QJsonObject answerJson(const ReadAnswer& answer)
{
    QJsonObject json{{"result", resultName(answer.kind)}};
    if (answer.kind == ReadAnswer::Kind::Words) {
        json.insert("words", int(answer.words.size()));
        json.insert("count_field", QString::fromLatin1(answer.countField));
    } else if (answer.kind == ReadAnswer::Kind::ErrorReply) {
        json.insert("code", QString::fromLatin1(answer.codes.code));
        json.insert("extended_code", QString::fromLatin1(answer.codes.extendedCode));
    } else {
        json.insert("problem", answer.problem);
    }
    return json;
}

QString jsonText(const ModuleReport& report)
{
    const RoundTrips trips = roundTrips(report.roundTripsMs);
    const ReadAnswer* first = read256(report);
    QJsonArray blockReads;
    for (const BlockRead& read : report.blockReads) {
        QJsonObject entry = answerJson(read.answer);
        entry.insert("requested", read.words);
        blockReads.append(entry);
    }
    QJsonObject set;
    for (const Recommendation& column : recommendations(report)) {
        set.insert(column.column, column.value);
    }
    const QJsonObject json{
        {"module", report.module},
        {"ok", report.measured},
        {"error", report.failure},
        {"identity", QJsonObject{{"serial", report.serial},
                                 {"firmware", report.firmware},
                                 {"answer", answerJson(report.identity)}}},
        {"echo", report.form.readReplies > 0 && report.form.echoing == report.form.readReplies},
        {"echo_field", QString::fromLatin1(report.form.otherEcho)},
        {"bcc", QJsonObject{{"width", report.form.checkWidth}, {"case", checkCase(report.form)}}},
        {"read_256", first ? answerJson(*first) : QJsonObject()},
        {"round_trip_ms",
         QJsonObject{{"reads", report.roundTripsMs.size()},
                     {"min", roundedMs(trips.minimum)},
                     {"median", roundedMs(trips.median)},
                     {"max", roundedMs(trips.maximum)},
                     {"read_256", first && first->hasAllWords() ? roundedMs(first->roundTripMs)
                                                                : QJsonValue()}}},
        {"largest_read", report.largestRead},
        {"block_reads", blockReads},
        {"connections", QJsonObject{{"tried", report.connectionsTried},
                                    {"taken", report.connectionsTaken},
                                    {"ended", report.connectionsEnd}}},
        {"unknown_class", answerJson(report.unknownClass)},
        {"past_end", answerJson(report.pastEnd)},
        {"set", set}};
    return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)) + "\n";
}

} // namespace

int runCheck(const Invocation& invocation)
{
    CommandSetup setup(invocation, kCheckHelp, CommandSetup::ProjectFile::Optional);
    const QCommandLineOption jsonOption(QStringList{QStringLiteral("j"), QStringLiteral("json")});
    setup.parser.addOptions({timeoutOption(), portOption(),
                             QCommandLineOption(QStringLiteral("connections"), QString(), "N"),
                             jsonOption});
    setup.offerRecording();
    int status = kExitOk;
    if (!setup.parse(&status) || !noProjectFile(setup, QStringLiteral("check"), &status)) {
        return status;
    }
    CheckLimits limits;
    if (!parseNumberOption(setup.parser, QStringLiteral("timeout"), 1, 3600000,
                           &limits.timeoutMs) ||
        !parseNumberOption(setup.parser, QStringLiteral("connections"), 1, kMaxConnections,
                           &limits.connections)) {
        return kExitUsage;
    }
    const QStringList arguments = setup.parser.positionalArguments();
    if (arguments.size() != 1) {
        return fail(kExitUsage, QStringLiteral("check needs one HOST[:PORT], for example: "
                                               "kib-host check 10.1.4.20"));
    }
    QList<Module> modules;
    if (!parseModules(setup.parser, arguments, &modules, &status)) {
        return status;
    }
    const ModuleReport report = checkModule(modules.first(), limits);
    printOut(setup.parser.isSet(jsonOption) ? jsonText(report) : tableText(report));
    return report.measured ? kExitOk : kExitFailed;
}

} // namespace kib_host
