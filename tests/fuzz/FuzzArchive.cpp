// libFuzzer target for the archive reader: every input is extracted and listed
// inside the sandbox directory that run.sh makes the current directory, into a
// target holding planted links to a directory beside it, a hard link to a file
// there and a FIFO. Nothing outside the target may change, and no input may hang
// the reader (run.sh gives each input a timeout).
#include "VessariTar.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What may exist in the sandbox; anything else means an entry got past the
// reader's path checks.
const QSet<QString> expectedEntries = {QStringLiteral(".fuzz-sandbox"), QStringLiteral("input.vt"),
                                       QStringLiteral("out"),           QStringLiteral("corpus"),
                                       QStringLiteral("artifacts"),     QStringLiteral("fuzz.log"),
                                       QStringLiteral("outside")};
const QByteArray victimContent("keep");

// The directory beside the target, made once: any change to it ends the run.
void makeOutside()
{
    QDir(QStringLiteral("outside")).removeRecursively();
    QDir().mkdir(QStringLiteral("outside"));
    QFile victim(QStringLiteral("outside/victim"));
    if (!victim.open(QIODevice::WriteOnly) || victim.write(victimContent) != victimContent.size())
        std::abort();
}

void plantTarget()
{
    QDir(QStringLiteral("out")).removeRecursively();
    QDir().mkdir(QStringLiteral("out"));
    if (::symlink("../outside", "out/l") != 0 || ::symlink("../outside/victim", "out/f") != 0 ||
        ::link("outside/victim", "out/h") != 0 || ::mkfifo("out/p", 0666) != 0)
        std::abort();
}

void verifyOutsideUnchanged()
{
    QFile victim(QStringLiteral("outside/victim"));
    const QStringList outside =
        QDir(QStringLiteral("outside"))
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (!victim.open(QIODevice::ReadOnly) || victim.readAll() != victimContent ||
        outside != QStringList(QStringLiteral("victim"))) {
        std::fprintf(stderr, "fuzz_archive: a write went outside the target\n");
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Extraction writes relative to the current directory: refuse to run anywhere
    // but a sandbox prepared for it.
    if (!QFile::exists(QStringLiteral(".fuzz-sandbox"))) {
        std::fprintf(stderr, "fuzz_archive: run through tests/fuzz/run.sh; the current directory "
                             "is not a fuzzing sandbox\n");
        std::exit(2);
    }
    makeOutside();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    {
        QFile input(QStringLiteral("input.vt"));
        if (!input.open(QIODevice::WriteOnly))
            std::abort();
        input.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    // Removal does not follow the planted links, so it stays inside the sandbox.
    plantTarget();

    VessariTar reader;
    reader.extract(QStringLiteral("input.vt"), QStringLiteral("out"));
    reader.list(QStringLiteral("input.vt"), [](const VessariTar::EntryInfo&) {});
    verifyOutsideUnchanged();

    for (const QString& name :
         QDir().entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (!expectedEntries.contains(name)) {
            std::fprintf(stderr, "fuzz_archive: entry escaped the target: %s\n", qPrintable(name));
            std::abort();
        }
    }
    return 0;
}
