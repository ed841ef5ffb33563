#pragma once
// The command line that starts one of the project's programs from a test. Under a cross build the
// test runs inside the emulator, which cannot start a foreign program by itself: the program is
// started through the same emulator (KIB_EMULATOR, its words joined by "|").

#include <QProcess>
#include <QStringList>

inline QStringList programLine(const QString& program, const QStringList& arguments)
{
    QStringList line = QString::fromUtf8(KIB_EMULATOR).split(QLatin1Char('|'), Qt::SkipEmptyParts);
    line << program << arguments;
    return line;
}

inline void startProgram(QProcess& process, const QString& program, const QStringList& arguments)
{
    const QStringList line = programLine(program, arguments);
    process.start(line.first(), line.mid(1));
}
