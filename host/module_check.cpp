#include "module_check.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "camp_discovery.h"
#include "frame_log.h"
#include "posix_net.h"

namespace kib_host {

namespace {

constexpr qint32 kClassV = 1;
constexpr quint32 kFirstWord = 1;
constexpr int kTimeoutFactor = 4;       // the worst round trip seen, four times over
constexpr int kMinimumTimeoutMs = 1000; // below this a busy network alone trips the time-out
constexpr int kTimeoutRoundingMs = 100;
// A module that answers, however slowly, is measured within 30 s: the round-trip series ends early
// (after a few reads) once the check has run this long, the connection count, and the requests it
// should refuse are not asked after these marks.
constexpr qint64 kRoundTripSeriesEndsMs = 8000;
constexpr int kFewestRoundTrips = 3;
constexpr qint64 kConnectionCountEndsMs = 20000;
constexpr qint64 kRefusalsEndMs = 25000;

// One connection of the check, numbered as its frames are shown and recorded.
class CheckConnection
{
public:
    explicit CheckConnection(int number) : number(number) {}
    ~CheckConnection() { posix_net::closeFd(fd); }
    CheckConnection(const CheckConnection&) = delete;
    CheckConnection& operator=(const CheckConnection&) = delete;

    bool open(const Module& module, int timeoutMs, QString* why)
    {
        fd = connectToModule(module, timeoutMs, why);
        return fd >= 0;
    }
    ReadAnswer read(qint32 cls, quint32 address, quint16 count, int timeoutMs);

private:
    bool receiveFrame(const QElapsedTimer& clock, int timeoutMs, QByteArray* frame,
                      ReadAnswer* answer);

    int number;
    int fd = -1;
    QByteArray leftover; // what came after the last reply
};

// What a frame says, as the reply to a read of `count` words at cls and address.
void interpretReply(const QByteArray& frame, qint32 cls, quint32 address, ReadAnswer* answer)
{
    using namespace camp_wire;
    if (!hasGoodBcc(frame)) {
        answer->kind = ReadAnswer::Kind::Unusable;
        answer->problem = QStringLiteral("a reply whose check field (BCC) does not match it");
        return;
    }
    const int checkPos = checkFieldPos(frame);
    answer->checkField = frame.mid(checkPos, frame.size() - 1 - checkPos);
    if (errorReplyCodes(frame, answer->codes)) {
        answer->kind = ReadAnswer::Kind::ErrorReply;
        return;
    }
    if (!isReadReply(frame) ||
        !readReplyWords(frame, static_cast<quint16>(answer->requested), answer->words)) {
        answer->kind = ReadAnswer::Kind::Unusable;
        answer->problem = QStringLiteral("a reply that is no read reply: %1")
                              .arg(QString::fromLatin1(printableFrame(frame).left(40)));
        return;
    }
    answer->kind = ReadAnswer::Kind::Words;
    answer->countField = frame.mid(kReplyCountPos, 2);
    answer->echoField = frame.mid(kReplyEchoPos, kReplyCountPos - kReplyEchoPos);
    answer->echoes = echoesRequest(frame, cls, address);
}

ReadAnswer CheckConnection::read(qint32 cls, quint32 address, quint16 count, int timeoutMs)
{
    ReadAnswer answer;
    answer.requested = count;
    // Anything already waiting answers no request of ours: the module is out of step.
    if (!leftover.isEmpty() || !posix_net::tcpRecvAll(fd, 0).isEmpty()) {
        answer.kind = ReadAnswer::Kind::Unusable;
        answer.problem = QStringLiteral("bytes came that no request asked for");
        return answer;
    }
    const QByteArray request = camp_wire::readRequest(cls, address, count);
    FrameLog::frame(number, FrameDirection::Sent, request);
    QElapsedTimer clock;
    clock.start();
    if (!posix_net::tcpSend(fd, request, timeoutMs)) {
        answer.kind = ReadAnswer::Kind::Closed;
        answer.problem = QStringLiteral("the request could not be sent: the connection is closed");
        return answer;
    }
    QByteArray frame;
    if (!receiveFrame(clock, timeoutMs, &frame, &answer)) {
        return answer;
    }
    answer.roundTripMs = double(clock.nsecsElapsed()) / 1e6;
    FrameLog::frame(number, FrameDirection::Received, frame);
    interpretReply(frame, cls, address, &answer);
    return answer;
}

// Receives until one whole frame is there; bytes after it are kept for the next read to find.
bool CheckConnection::receiveFrame(const QElapsedTimer& clock, int timeoutMs, QByteArray* frame,
                                   ReadAnswer* answer)
{
    QByteArray received;
    for (;;) {
        const qint64 remainingMs = timeoutMs - clock.elapsed();
        posix_net::StreamEnd end = posix_net::StreamEnd::Open;
        const QByteArray more =
            remainingMs > 0 ? posix_net::tcpRecvAll(fd, int(remainingMs), &end) : QByteArray();
        const camp_wire::FrameScan scan = camp_wire::scanFrame(received + more);
        if (scan.status == camp_wire::FrameStatus::Frame) {
            *frame = scan.frame;
            leftover = scan.rest;
            return true;
        }
        if (scan.status == camp_wire::FrameStatus::GiveUp) {
            answer->kind = ReadAnswer::Kind::Unusable;
            answer->problem = QStringLiteral("more than %1 bytes without a CAMP frame")
                                  .arg(camp_wire::kReceiveLimitBytes);
            return false;
        }
        if (end == posix_net::StreamEnd::Closed) {
            answer->kind = ReadAnswer::Kind::Closed;
            answer->problem = QStringLiteral("it closed the connection without a reply");
            return false;
        }
        if (more.isEmpty()) {
            answer->kind = ReadAnswer::Kind::NoReply;
            answer->problem = QStringLiteral("no reply within %1 ms").arg(timeoutMs);
            return false;
        }
        received = scan.rest;
    }
}

// The measurements on the first connection need an answer each, a reply or an error reply:
// anything else leaves the connection out of step, and the check ends there.
class Measurement
{
public:
    Measurement(const Module& module, const CheckLimits& limits, ModuleReport& report)
        : module(module), limits(limits), report(report)
    {
    }

    bool run()
    {
        clock.start();
        if (!first.open(module, limits.timeoutMs, &report.failure)) {
            return false;
        }
        if (!readIdentity() || !measureRoundTrips() || !findLargestRead()) {
            return false;
        }
        countConnections();
        askWhatItRefuses();
        return true;
    }

private:
    ReadAnswer ask(CheckConnection& connection, qint32 cls, quint32 address, quint16 count)
    {
        ReadAnswer answer = connection.read(cls, address, count, limits.timeoutMs);
        report.form.note(answer);
        return answer;
    }

    bool answered(const ReadAnswer& answer, const QString& request)
    {
        if (!answer.isAnswer()) {
            report.failure = QStringLiteral("%1: %2").arg(request, answer.problem);
        }
        return answer.isAnswer();
    }

    bool readIdentity()
    {
        using namespace CampDiscovery;
        report.identity = ask(first, kAddressClassStw, kStwSerial, kStwIdentityWordCount);
        if (!report.identity.hasAllWords()) {
            return answered(report.identity, QStringLiteral("the read of STW259 to STW261"));
        }
        const camp_wire::Words& words = report.identity.words;
        const QMap<QString, QString> identity = identityFromStwValues(words[0], words[1], words[2]);
        report.serial = identity.value(QStringLiteral("serial"));
        report.firmware = identity.value(QStringLiteral("firmware"));
        return true;
    }

    bool measureRoundTrips()
    {
        for (int read = 0; read < kRoundTripReads; ++read) {
            if (read >= kFewestRoundTrips && clock.elapsed() > kRoundTripSeriesEndsMs) {
                break; // a slow module: the reads so far tell its round trip
            }
            const ReadAnswer answer = ask(first, kClassV, kFirstWord, 1);
            if (!answered(answer, QStringLiteral("a read of V1"))) {
                return false;
            }
            report.roundTripsMs.append(answer.roundTripMs);
        }
        return true;
    }

    bool findLargestRead()
    {
        for (int words = camp_wire::kMaxReadWords; words >= 1; words /= 2) {
            const ReadAnswer answer = ask(first, kClassV, kFirstWord, quint16(words));
            report.blockReads.append({words, answer});
            if (!answered(answer, QStringLiteral("a read of %1 words from V1").arg(words))) {
                return false;
            }
            if (answer.hasAllWords()) {
                report.largestRead = words;
                return true;
            }
        }
        return true;
    }

    // Connections stay open until all are counted: a module counts the ones it holds.
    void countConnections()
    {
        report.connectionsTried = limits.connections;
        report.connectionsTaken = 1;
        std::vector<std::unique_ptr<CheckConnection>> others;
        for (int number = 2; number <= limits.connections; ++number) {
            if (clock.elapsed() > kConnectionCountEndsMs) {
                report.connectionsEnd = QStringLiteral("not counted further: the check ran %1 s")
                                            .arg(kConnectionCountEndsMs / 1000);
                return;
            }
            others.push_back(std::make_unique<CheckConnection>(number));
            QString why;
            if (!others.back()->open(module, limits.timeoutMs, &why)) {
                report.connectionsEnd = QStringLiteral("connection %1: %2").arg(number).arg(why);
                return;
            }
            const ReadAnswer answer = ask(*others.back(), kClassV, kFirstWord, 1);
            if (!answer.isAnswer()) {
                report.connectionsEnd =
                    QStringLiteral("connection %1: %2").arg(number).arg(answer.problem);
                return;
            }
            ++report.connectionsTaken;
        }
    }

    // Last on the first connection: a module may stay silent at a request it refuses.
    void askWhatItRefuses()
    {
        if (clock.elapsed() > kRefusalsEndMs) {
            const QString notAsked =
                QStringLiteral("not asked: the check ran %1 s").arg(kRefusalsEndMs / 1000);
            report.unknownClass.problem = notAsked;
            report.pastEnd.problem = notAsked;
            return;
        }
        report.unknownClass = ask(first, kUnknownClass, kFirstWord, 1);
        if (!report.unknownClass.isAnswer()) {
            report.pastEnd.problem = QStringLiteral("not asked: no answer for the unknown class");
            return;
        }
        report.pastEnd = ask(first, kClassV, kPastEndAddress, 1);
    }

    const Module& module;
    const CheckLimits& limits;
    ModuleReport& report;
    CheckConnection first{1};
    QElapsedTimer clock; // since the check began
};

} // namespace

void ReplyForm::note(const ReadAnswer& answer)
{
    if (!answer.isAnswer()) {
        return;
    }
    worstRoundTripMs = std::max(worstRoundTripMs, answer.roundTripMs);
    checkWidth = std::max(checkWidth, int(answer.checkField.size()));
    for (const char digit : answer.checkField) {
        upperCaseCheck = upperCaseCheck || (digit >= 'A' && digit <= 'F');
        lowerCaseCheck = lowerCaseCheck || (digit >= 'a' && digit <= 'f');
    }
    if (answer.kind != ReadAnswer::Kind::Words) {
        return;
    }
    ++readReplies;
    echoing += answer.echoes ? 1 : 0;
    if (!answer.echoes && otherEcho.isEmpty()) {
        otherEcho = answer.echoField;
    }
}

ModuleReport checkModule(const Module& module, const CheckLimits& limits)
{
    ModuleReport report;
    report.module = module.name();
    report.measured = Measurement(module, limits, report).run();
    return report;
}

QList<Recommendation> recommendations(const ModuleReport& report)
{
    if (!report.measured) {
        return {};
    }
    const double fourTimes = kTimeoutFactor * report.form.worstRoundTripMs;
    const int timeoutMs = std::max(
        kMinimumTimeoutMs, int(std::ceil(fourTimes / kTimeoutRoundingMs)) * kTimeoutRoundingMs);
    QList<Recommendation> columns{
        {QStringLiteral("timeout"), timeoutMs,
         QStringLiteral("4 x the worst round trip seen (%1 ms), at least %2")
             .arg(report.form.worstRoundTripMs, 0, 'f', 2)
             .arg(kMinimumTimeoutMs)},
        {QStringLiteral("connections"), std::max(1, report.connectionsTaken - 1),
         QStringLiteral("it took %1 at once; one stays free for other clients")
             .arg(report.connectionsTaken)}};
    if (report.largestRead > 0 && report.largestRead < camp_wire::kMaxReadWords) {
        columns.append({QStringLiteral("max_block_words"), report.largestRead,
                        QStringLiteral("it refuses reads of more words")});
    }
    return columns;
}

} // namespace kib_host
