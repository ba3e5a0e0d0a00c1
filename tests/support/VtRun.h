#pragma once

// Runs the built `vt` as a script would.
#include <QProcess>
#include <QStringList>

struct VtRun
{
    int code = -1; // -1 when it did not end normally within a minute
    QByteArray out, err;
};

// input is fed in pieces, so that a reader on the pipe meets short reads.
inline VtRun runVt(const QStringList& args, const QString& workingDir = QString(),
                   const QByteArray& input = QByteArray())
{
    QProcess process;
    process.setWorkingDirectory(workingDir);
    process.start(QStringLiteral(UPDATER_BUILD_DIR "/vt"), args);
    for (qsizetype at = 0; at < input.size() && process.waitForStarted(); at += 7) {
        process.write(input.mid(at, 7));
        process.waitForBytesWritten();
    }
    process.closeWriteChannel();
    const bool ended =
        process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}
