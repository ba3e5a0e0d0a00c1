#pragma once

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// A stand-in for the game: a shell script in a directory whose name holds a space, which records
// how it was started.
class FakeGame
{
public:
    FakeGame()
    {
        QDir(dir.path()).mkpath(QStringLiteral("my game"));
        QFile f(script);
        // Written under another name and renamed, so a reader never sees half a record.
        if (f.open(QIODevice::WriteOnly) &&
            f.write("#!/bin/sh\nout=\"$(dirname \"$0\")/../started.txt\"\n"
                    "printf '%s\\n' \"$0\" \"$@\" > \"$out.tmp\" && mv \"$out.tmp\" \"$out\"\n") >
                0)
            f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // A start is detached: a wrong one is given this long to show.
    bool startsWithin(int msecs) const
    {
        return QTest::qWaitFor([this] { return QFile::exists(record); }, msecs);
    }

    // Program path and arguments as the game saw them; waits for the detached start.
    QStringList waitForStart() const
    {
        QFile f(record);
        if (!startsWithin(10000) || !f.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
        lines.removeLast();
        return lines;
    }

    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("my game/run"));
    const QString record = dir.filePath(QStringLiteral("started.txt"));
};
