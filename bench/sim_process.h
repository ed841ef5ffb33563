#pragma once
// camp-sim in a process of its own, for the measurements that must not see the simulator's
// threads, memory or instructions: resident memory per session, and callgrind.

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

class SimProcess
{
public:
    ~SimProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000)) {
                process.kill();
            }
            process.waitForFinished(5000);
        }
    }

    // Starts camp-sim on a free loopback port; the port, or 0 when it did not come up.
    quint16 start(const QStringList& extraArguments = {})
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(CAMP_SIM_PATH),
                      QStringList({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")}) +
                          extraArguments);
        const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        while (process.waitForReadyRead(10000)) {
            while (process.canReadLine()) {
                const QRegularExpressionMatch match =
                    listening.match(QString::fromUtf8(process.readLine()));
                if (match.hasMatch()) {
                    return static_cast<quint16>(match.captured(1).toUInt());
                }
            }
        }
        return 0;
    }

private:
    QProcess process;
};
