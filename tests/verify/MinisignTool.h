#pragma once

// Keys and signatures made by the real minisign tool, for interoperability tests.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

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
    return run({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-f"),
                QStringLiteral("-p"), base + QStringLiteral(".pub"), QStringLiteral("-s"),
                base + QStringLiteral(".sec")});
}

// Signs file into signature (default file.minisig); comment replaces minisign's
// own trusted comment when given.
inline bool sign(const QString& secretKey, const QString& file, const QString& signature = {},
                 const QString& comment = {}, bool legacy = false)
{
    QStringList args{QStringLiteral("-S"), QStringLiteral("-s"), secretKey, QStringLiteral("-m"),
                     file};
    if (!signature.isEmpty())
        args << QStringLiteral("-x") << signature;
    if (!comment.isEmpty())
        args << QStringLiteral("-t") << comment;
    if (legacy)
        args << QStringLiteral("-l");
    return run(args);
}

inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeAll(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// The trusted comment minisign writes for file name at a timestamp.
inline QString comment(quint64 timestamp, const QString& name = QStringLiteral("update.vt"))
{
    return QStringLiteral("timestamp:%1\tfile:%2\thashed").arg(timestamp).arg(name);
}

} // namespace MinisignTool
