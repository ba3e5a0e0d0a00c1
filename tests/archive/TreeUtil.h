#pragma once

// Directory trees as maps for comparison: relative path to file contents, with
// "<dir>" for directories and "<link TARGET>" for symbolic links.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QtTest>

using Tree = QMap<QString, QByteArray>;

inline const QByteArray kDir("<dir>");

inline Tree treeOf(const QString& root)
{
    Tree tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString name = QDir(root).relativeFilePath(info.filePath());
        QFile f(info.filePath());
        if (info.isSymLink())
            tree.insert(name, "<link " + info.symLinkTarget().toUtf8() + ">");
        else if (info.isDir())
            tree.insert(name, kDir);
        else
            tree.insert(name, f.open(QIODevice::ReadOnly) ? f.readAll() : "<unreadable>");
    }
    return tree;
}

// Creates the tree's entries in map order (parents before children).
inline void makeTree(const QString& root, const Tree& tree)
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        QVERIFY(QDir().mkpath(it.value() == kDir ? path : QFileInfo(path).absolutePath()));
        QFile f(path);
        if (it.value() != kDir) {
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(it.value()), it.value().size());
        }
    }
}
