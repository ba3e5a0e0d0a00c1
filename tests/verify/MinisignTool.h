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

// A key pair without a password: dir/name.pub and dir/name.sec.
inline bool makeKey(const QString& dir, const QString& name)
{
    const QString base = QDir(dir).filePath(name);
    return QProcess::execute(QStringLiteral("minisign"),
                             {"-G", "-W", "-f", "-p", base + ".pub", "-s", base + ".sec"}) == 0;
}

// Signs file into signature (default file.minisig); comment replaces minisign's own trusted
// comment when given.
inline bool sign(const QString& secretKey, const QString& file, const QString& signature = {},
                 const QString& comment = {}, bool legacy = false)
{
    QStringList args{"-S", "-s", secretKey, "-m", file};
    if (!signature.isEmpty())
        args << "-x" << signature;
    if (!comment.isEmpty())
        args << "-t" << comment;
    return QProcess::execute(QStringLiteral("minisign"), legacy ? args << "-l" : args) == 0;
}

// The trusted comment minisign writes for update.vt at a timestamp.
inline QString comment(quint64 timestamp)
{
    return QStringLiteral("timestamp:%1\tfile:update.vt\thashed").arg(timestamp);
}

} // namespace MinisignTool
