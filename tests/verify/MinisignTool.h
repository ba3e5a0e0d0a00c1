#pragma once

// Keys and signatures made by the real minisign tool, for interoperability tests.

#include <QDir>
#include <QProcess>
#include <QStandardPaths>

namespace MinisignTool {

inline bool available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("minisign")).isEmpty();
}

inline bool run(const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral("minisign"), args);
    p.closeWriteChannel();
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A key pair without a password: dir/name.pub and dir/name.sec.
inline bool makeKey(const QString& dir, const QString& name)
{
    const QString base = QDir(dir).filePath(name);
    return run({"-G", "-W", "-f", "-p", base + ".pub", "-s", base + ".sec"});
}

// Signs file into signature (default file.minisig); comment replaces minisign's
// own trusted comment when given.
inline bool sign(const QString& secretKey, const QString& file, const QString& signature = {},
                 const QString& comment = {}, bool legacy = false)
{
    const QString target = signature.isEmpty() ? file + ".minisig" : signature;
    QStringList args{"-S", "-s", secretKey, "-m", file, "-x", target};
    if (!comment.isEmpty())
        args << "-t" << comment;
    return run(legacy ? args << "-l" : args);
}

// The trusted comment minisign writes for file name at a timestamp.
inline QString comment(quint64 timestamp, const QString& name = QStringLiteral("update.vt"))
{
    return QStringLiteral("timestamp:%1\tfile:%2\thashed").arg(timestamp).arg(name);
}

} // namespace MinisignTool
