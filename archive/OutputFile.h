#pragma once

#include <QFile>
#include <QSaveFile>

// An output file named on the command line: "-" is standard output, and an
// existing FIFO, device or socket is written to as it is (replacing /dev/null
// with a file would break the system). Anything else is written under a
// temporary name and replaces the old file only in commit(), once complete.
class OutputFile
{
public:
    // Opens it; see isOpen().
    explicit OutputFile(const QString& name);

    bool isOpen() const { return device().isOpen(); }
    QFileDevice& device() { return direct ? static_cast<QFileDevice&>(directFile) : save; }
    const QFileDevice& device() const
    {
        return direct ? static_cast<const QFileDevice&>(directFile) : save;
    }
    // Flushes what is written directly, or puts the complete file in place.
    bool commit() { return direct ? directFile.flush() : save.commit(); }
    QString errorString() const { return device().errorString(); }

private:
    bool direct;
    QSaveFile save;
    QFile directFile;
};
