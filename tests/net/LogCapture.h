#pragma once

#include "Log.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

// Opens the process-wide log into a temporary file for one test and reads the
// entries back.
class LogCapture
{
public:
    LogCapture() : path(dir.filePath(QStringLiteral("log.txt"))) { openLog(path, false); }
    ~LogCapture() { closeLog(); }

    QStringList entries() const
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {QStringLiteral("<no log>")};
        return QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // The entries with their "    File: <source> Line: <n>" tail taken off; an
    // entry from another file keeps it and so shows up in a comparison.
    QStringList messages(const QString& source) const
    {
        const QRegularExpression tail(QStringLiteral("    File: %1 Line: \\d+$").arg(source));
        QStringList out = entries();
        for (QString& line : out)
            line.remove(tail);
        return out;
    }

private:
    QTemporaryDir dir;
    QString path;
};
