#include "OutputFile.h"

#include <QFileInfo>
#include <unistd.h>

OutputFile::OutputFile(const QString& name) : save(name), directFile(name)
{
    const QFileInfo info(name);
    const bool toStdout = name == QLatin1String("-");
    direct = toStdout || (info.exists() && !info.isFile() && !info.isDir());
    if (toStdout)
        directFile.open(STDOUT_FILENO, QIODevice::WriteOnly, QFileDevice::DontCloseHandle);
    else if (direct)
        directFile.open(QIODevice::WriteOnly);
    else
        save.open(QIODevice::WriteOnly);
}
