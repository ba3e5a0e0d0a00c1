#pragma once

// Files, byte patterns, directory trees and log entries as the suites compare them.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>
#include <sys/stat.h>

// The file's contents, or a marker that shows up in a comparison.
inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Writes data to path, creating its parent directories; false on any failure.
inline bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && f.open(QIODevice::WriteOnly) &&
           f.write(data) == data.size() && f.flush();
}

// Bytes whose period is no power of two, so that a block landing in the wrong place shows.
inline QByteArray bytePattern(int size)
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        out[i] = char((i * 131 + i / 256) & 0xff);
    return out;
}

// A directory tree as a map: relative path to file contents, "<dir>" for a directory and
// "<link TARGET>" for a symbolic link.
using Tree = QMap<QString, QByteArray>;
// Random bytes from a seed: the same seed, the same bytes. Size a multiple of 4.
inline QByteArray seededBytes(quint32 seed, int size)
{
    QByteArray out(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    gen.fillRange(reinterpret_cast<quint32*>(out.data()), size / 4);
    return out;
}

// Random bytes of any size from a seed, drawn a byte at a time.
inline QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& byte : bytes)
        byte = char(generator.generate() & 0xff);
    return bytes;
}

inline const QByteArray kDir("<dir>");

inline Tree treeOf(const QString& root)
{
    Tree tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString name = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink())
            tree.insert(name, "<link " + info.symLinkTarget().toUtf8() + ">");
        else
            tree.insert(name, info.isDir() ? kDir : readFile(info.filePath()));
    }
    return tree;
}

// Every entry under root and root itself, hidden ones too, one line each in path order: type,
// permission bits, modification time (of directories too when withDirTimes), then a file's
// contents or a link's target. What "exactly as it was" compares.
inline QStringList snapshotOf(const QString& root, bool withDirTimes = true)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    QStringList paths{root};
    while (it.hasNext())
        paths << it.next();
    for (const QString& path : paths) {
        struct stat info;
        if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
            continue;
        const bool dir = S_ISDIR(info.st_mode);
        QString line =
            QDir(root).relativeFilePath(path) + QLatin1Char(' ') + QString::number(info.st_mode, 8);
        if (!dir || withDirTimes)
            line += QStringLiteral(" %1.%2").arg(info.st_mtim.tv_sec).arg(info.st_mtim.tv_nsec);
        if (S_ISREG(info.st_mode))
            line += QLatin1Char(' ') + QString::fromLatin1(readFile(path).toHex());
        else if (S_ISLNK(info.st_mode))
            line += QStringLiteral(" -> ") + QFileInfo(path).symLinkTarget();
        lines << line;
    }
    lines.sort();
    return lines;
}

// Creates the tree's entries in map order (parents before children).
inline void makeTree(const QString& root, const Tree& tree)
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        if (it.value() == kDir)
            QVERIFY(QDir().mkpath(path));
        else
            QVERIFY(writeFile(path, it.value()));
    }
}

// The "    File: SOURCE Line: N" tail that every log entry from SOURCE ends with, at the end
// of any line.
inline QRegularExpression logTail(const QString& source)
{
    return QRegularExpression(
        QStringLiteral("    File: %1 Line: \\d+$").arg(QRegularExpression::escape(source)),
        QRegularExpression::MultilineOption);
}

// The lines of a log or of stderr, with the tail taken off the entries from source; other lines
// stay whole, so that they show up in a comparison.
inline QStringList logMessages(const QByteArray& text, const QString& source)
{
    const QRegularExpression tail = logTail(source);
    QStringList lines;
    for (const QByteArray& line : text.split('\n'))
        if (!line.isEmpty())
            lines << QString::fromLatin1(line).remove(tail);
    return lines;
}
