#pragma once

// A stand-in for the game: a shell script in a directory whose name holds a
// space, which records how it was started.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class FakeGame
{
public:
    FakeGame()
    {
        QDir(dir.path()).mkpath(QStringLiteral("my game"));
        script = dir.filePath(QStringLiteral("my game/run"));
        record = dir.filePath(QStringLiteral("started.txt"));
        QFile f(script);
        if (f.open(QIODevice::WriteOnly)) {
            // Written under another name and renamed, so a reader never sees half a record.
            f.write("#!/bin/sh\n"
                    "out=\"$(dirname \"$0\")/../started.txt\"\n"
                    "{ printf '%s\\n' \"$0\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; "
                    "} > \"$out.tmp\" && mv \"$out.tmp\" \"$out\"\n");
            f.close();
            f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }

    // The command that starts the game with these arguments, the path quoted.
    QString command(const QString& arguments = QString()) const
    {
        QString c = QLatin1Char('"') + script + QLatin1Char('"');
        if (!arguments.isEmpty())
            c += QLatin1Char(' ') + arguments;
        return c;
    }

    bool started() const { return QFile::exists(record); }

    // Program path and arguments as the game saw them; waits for the detached start.
    QStringList waitForStart(int timeoutMs = 5000) const
    {
        QElapsedTimer t;
        t.start();
        while (!started() && t.elapsed() < timeoutMs)
            QTest::qWait(10);
        QFile f(record);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
        lines.removeLast();
        return lines;
    }

    QTemporaryDir dir;
    QString script;
    QString record;
};
