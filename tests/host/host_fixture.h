#pragma once
// kib-host as a user runs it: the program in a child process, a project file in a temporary
// directory, and simulated PLCs on free loopback ports.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "program_line.h"

namespace host_test {

struct Outcome
{
    int exitCode = -1;
    bool crashed = true;
    QString out;
    QString err;

    QStringList outLines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
};

inline QStringList kibHostLine(const QStringList& arguments)
{
    return programLine(QStringLiteral(KIB_HOST_PROGRAM), arguments);
}

inline Outcome runProgram(const QStringList& line)
{
    QProcess process;
    process.start(line.first(), line.mid(1));
    Outcome run;
    if (process.waitForStarted(30000) && process.waitForFinished(300000)) {
        run.crashed = process.exitStatus() != QProcess::NormalExit;
        run.exitCode = process.exitCode();
        run.out = QString::fromUtf8(process.readAllStandardOutput());
        run.err = QString::fromUtf8(process.readAllStandardError());
    }
    return run;
}

inline QJsonObject memoryItem(const QString& uid, int addressClass, const QString& word,
                              int dataType)
{
    return {{"uid", uid},
            {"name", uid.toUpper()},
            {"columns", QJsonObject{{"address_class", QString::number(addressClass)},
                                    {"address_word", word},
                                    {"data_type", QString::number(dataType)}}}};
}

inline QJsonObject device(int id, const QString& address, quint16 port, const QJsonArray& items)
{
    return {{"id", id},
            {"name", QStringLiteral("press-%1").arg(id)},
            {"address", address},
            {"columns", QJsonObject{{"port", QString::number(port)}, {"timeout", "3000"}}},
            {"items", items}};
}

class ProjectDir
{
public:
    QString path() const { return dir.filePath(QStringLiteral("project.json")); }

    void write(const QByteArray& text) const
    {
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    void write(const QJsonObject& project) const { write(QJsonDocument(project).toJson()); }

    QByteArray bytes() const
    {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QJsonObject json() const { return QJsonDocument::fromJson(bytes()).object(); }
    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden); }

    // The arguments that run kib-host on this project.
    QStringList line(const QStringList& arguments) const
    {
        return kibHostLine(QStringList{QStringLiteral("--project"), path()} + arguments);
    }
    Outcome kibHost(const QStringList& arguments) const { return runProgram(line(arguments)); }

private:
    QTemporaryDir dir;
};

// The uids of a device's items in the project file.
inline QStringList itemUids(const QJsonObject& project, int deviceId)
{
    QStringList uids;
    for (const QJsonValue& device : project.value(QStringLiteral("devices")).toArray()) {
        if (device[QStringLiteral("id")].toInt() != deviceId) {
            continue;
        }
        for (const QJsonValue& item : device[QStringLiteral("items")].toArray()) {
            uids.append(item[QStringLiteral("uid")].toString());
        }
    }
    return uids;
}

} // namespace host_test
