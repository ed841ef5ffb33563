#include "module_process.h"

#include "soak_plan.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace soak {

namespace {

constexpr int kPatienceMs = 10000; // for a module's answer; far beyond any on a sane machine

// The lowest port the kernel hands out to outgoing connections.
int ephemeralPortsStart()
{
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (!range.open(QIODevice::ReadOnly)) {
        return 32768;
    }
    const int start =
        QString::fromLatin1(range.readAll()).split(QLatin1Char('\t')).value(0).toInt();
    return start > 2048 ? start : 32768;
}

} // namespace

ModuleProcess::ModuleProcess(const QString& program, int index, const QString& workDir)
    : m_program(program), m_index(index), m_workDir(workDir)
{
    QFile::remove(journalPath()); // a new module: nothing written yet
    QFile preset(QDir(m_workDir).filePath(QStringLiteral("module-%1.json").arg(m_index)));
    if (preset.open(QIODevice::WriteOnly)) {
        preset.write(QStringLiteral("{\"words\": {\"Y101\": \"%1\"}}\n")
                         .arg(kDiscreteWordPreset, 4, 16, QLatin1Char('0'))
                         .toLatin1());
    }
}

ModuleProcess::~ModuleProcess()
{
    kill();
}

QString ModuleProcess::journalPath() const
{
    return QDir(m_workDir).filePath(QStringLiteral("module-%1.journal").arg(m_index));
}

QStringList ModuleProcess::arguments(quint16 serialNumber) const
{
    return {QStringLiteral("--listen"),
            QStringLiteral("127.0.0.1:%1").arg(m_port),
            QStringLiteral("--serial"),
            QString::number(serialNumber),
            QStringLiteral("--commands"),
            QStringLiteral("--max-connections"),
            QString::number(kMaxConnections),
            QStringLiteral("--scan-time-ms"),
            QString::number(kNormalScanMs),
            QStringLiteral("--oracle-pattern"),
            patternRanges(),
            QStringLiteral("--preset"),
            QDir(m_workDir).filePath(QStringLiteral("module-%1.json").arg(m_index)),
            QStringLiteral("--journal"),
            journalPath()};
}

bool ModuleProcess::startOnFreePort(QString* error)
{
    const int below = ephemeralPortsStart();
    std::mt19937 random(static_cast<unsigned>(::getpid()) * 31u + unsigned(m_index));
    std::uniform_int_distribution<int> pick(std::max(1024, below - 8000), below - 1);
    for (int attempt = 0; attempt < 50; ++attempt) {
        m_port = static_cast<quint16>(pick(random));
        if (start(error)) {
            return true;
        }
    }
    return false;
}

bool ModuleProcess::start(QString* error)
{
    return startWith(arguments(serial()), error);
}

bool ModuleProcess::startStandIn(QString* error)
{
    return startWith(arguments(quint16(serial() + kStandInSerialOffset)) +
                         QStringList{QStringLiteral("--faults"), QStringLiteral("no-echo=1")},
                     error);
}

bool ModuleProcess::startWith(const QStringList& arguments, QString* error)
{
    kill();
    if (!spawn(arguments)) {
        *error = QStringLiteral("cannot start %1").arg(m_program);
        return false;
    }
    const QByteArray expected = "camp-sim listening on 127.0.0.1:" + QByteArray::number(m_port);
    QByteArray line;
    if (readLine(&line, kPatienceMs) && line.startsWith(expected)) {
        return true;
    }
    *error = QStringLiteral("module %1 did not start on port %2").arg(m_index).arg(m_port);
    kill();
    return false;
}

bool ModuleProcess::spawn(const QStringList& arguments)
{
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        return false;
    }
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        return false;
    }
    // Everything the child needs is made before fork(): after it, only what is safe there.
    std::vector<QByteArray> storage{QFile::encodeName(m_program)};
    for (const QString& argument : arguments) {
        storage.push_back(argument.toLocal8Bit());
    }
    std::vector<char*> argv;
    for (QByteArray& text : storage) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid == 0) {
        // A module never outlives the soak, however the soak ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::dup2(toChild[0], STDIN_FILENO);
        ::dup2(fromChild[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    if (pid < 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        return false;
    }
    m_pid = pid;
    m_toModule = toChild[1];
    m_fromModule = fromChild[0];
    m_pending.clear();
    return true;
}

void ModuleProcess::closePipes()
{
    if (m_toModule >= 0) {
        ::close(m_toModule);
    }
    if (m_fromModule >= 0) {
        ::close(m_fromModule);
    }
    m_toModule = m_fromModule = -1;
}

void ModuleProcess::kill()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    m_pid = -1;
    closePipes();
}

void ModuleProcess::pause()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGSTOP);
    }
}

void ModuleProcess::resume()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGCONT);
    }
}

void ModuleProcess::stop()
{
    if (m_pid <= 0) {
        return;
    }
    resume();
    ::close(m_toModule); // the end of its commands
    m_toModule = -1;
    QByteArray line;
    while (readLine(&line, kPatienceMs)) {
    }
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    closePipes();
}

QByteArray ModuleProcess::command(const QByteArray& line)
{
    const QByteArray text = line + '\n';
    if (m_toModule < 0 ||
        ::write(m_toModule, text.constData(), size_t(text.size())) != text.size()) {
        return QByteArray();
    }
    QByteArray answer;
    while (readLine(&answer, kPatienceMs)) {
        if (answer.startsWith("ok") || answer.startsWith("error: ")) {
            return answer;
        }
    }
    return QByteArray();
}

// The next line the module printed, without its end; false at the end of its output or when
// nothing came in time.
bool ModuleProcess::readLine(QByteArray* line, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int end = m_pending.indexOf('\n');
        if (end >= 0) {
            *line = m_pending.left(end);
            m_pending.remove(0, end + 1);
            return true;
        }
        const qint64 left = msBetween(Clock::now(), deadline);
        pollfd ready{m_fromModule, POLLIN, 0};
        if (m_fromModule < 0 || left <= 0 || ::poll(&ready, 1, int(left)) <= 0) {
            return false;
        }
        char chunk[1024];
        const ssize_t got = ::read(m_fromModule, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        m_pending.append(chunk, int(got));
    }
}

} // namespace soak
