#include "write_journal.h"

#include "plc_memory.h"
#include "simulated_plc.h"

#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace camp_sim {

QByteArray journalLine(const JournalEntry& entry)
{
    QByteArray line =
        addressClassLabel(entry.addressClass).toLatin1() + QByteArray::number(entry.address);
    for (const quint16 word : entry.words) {
        line += ' ' + QByteArray::number(word, 16).toUpper().rightJustified(4, '0');
    }
    return line + '\n';
}

bool parseJournalLine(const QByteArray& line, JournalEntry* entry)
{
    static const QRegularExpression pattern(
        QStringLiteral("^([A-Z]+)(\\d{1,8})((?: [0-9A-F]{4})+)\\n?$"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(line));
    if (!match.hasMatch()) {
        return false;
    }
    JournalEntry parsed;
    parsed.addressClass = addressClassFromLabel(match.captured(1));
    parsed.address = match.captured(2).toUInt();
    for (const QString& word : match.captured(3).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        parsed.words.append(static_cast<quint16>(word.toUInt(nullptr, 16)));
    }
    if (parsed.addressClass < 0) {
        return false;
    }
    *entry = parsed;
    return true;
}

bool readJournal(const QString& path, QList<JournalEntry>* entries, QString* error)
{
    entries->clear();
    QFile file(path);
    if (!file.exists()) {
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the journal %1: %2").arg(path, file.errorString());
        return false;
    }
    int lineNumber = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        ++lineNumber;
        if (!line.endsWith('\n')) {
            break; // never finished
        }
        JournalEntry entry;
        if (!parseJournalLine(line, &entry)) {
            *error = QStringLiteral("%1:%2: not a journal line").arg(path).arg(lineNumber);
            return false;
        }
        entries->append(entry);
    }
    return true;
}

bool attachWriteJournal(const QString& path, SimulatedPlc& plc, QString* error)
{
    QList<JournalEntry> entries;
    if (!readJournal(path, &entries, error)) {
        return false;
    }
    for (const JournalEntry& entry : entries) {
        if (entry.address < 1 || quint64(entry.address) + quint64(entry.words.size()) - 1 >
                                     plc.memorySize(entry.addressClass)) {
            *error = QStringLiteral("the journal %1 writes outside memory").arg(path);
            return false;
        }
        for (int i = 0; i < entry.words.size(); ++i) {
            plc.setWord(entry.addressClass, entry.address + quint32(i), entry.words[i]);
        }
    }

    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = QStringLiteral("cannot write the journal %1: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Closed with the PLC's last copy of the hook.
    const std::shared_ptr<int> file(new int(fd), [](int* descriptor) {
        ::close(*descriptor);
        delete descriptor;
    });
    plc.setWriteJournal([file](int addressClass, quint32 address, const QList<quint16>& words) {
        // One write() per line: once it returns, the line outlives this process, however it ends.
        const QByteArray line = journalLine({addressClass, address, words});
        if (::write(*file, line.constData(), static_cast<size_t>(line.size())) != line.size()) {
            std::perror("camp-sim: writing the journal");
        }
    });
    return true;
}

} // namespace camp_sim
