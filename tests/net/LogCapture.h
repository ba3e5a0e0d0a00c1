#pragma once

#include "Log.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

// Opens the process-wide log into a temporary file for one test and reads the
// entries back, each without its trailing "    File: <name> Line: <n>" part
// checked separately by source().
class LogCapture
{
public:
    LogCapture() : path(dir.filePath(QStringLiteral("log.txt"))) { openLog(path, false); }
    ~LogCapture() { closeLog(); }

    QStringList entries() const
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    // The entries with their location stripped, after checking that each names
    // the expected source file and a line number.
    QStringList messages(const QString& source) const
    {
        static const QRegularExpression tail(QStringLiteral("    File: (\\w+) Line: \\d+$"));
        QStringList out;
        for (const QString& line : entries()) {
            const QRegularExpressionMatch m = tail.match(line);
            if (!m.hasMatch() || m.captured(1) != source)
                out.append(QStringLiteral("<bad location> ") + line);
            else
                out.append(line.left(m.capturedStart()));
        }
        return out;
    }

private:
    QTemporaryDir dir;
    QString path;
};
