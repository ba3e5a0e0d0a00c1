// libFuzzer target for the archive reader: every input is extracted and listed
// inside the sandbox directory that run.sh makes the current directory.
#include "VessariTar.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// What may exist in the sandbox; anything else means an entry got past the
// reader's path checks.
const QSet<QString> expectedEntries = {QStringLiteral(".fuzz-sandbox"), QStringLiteral("input.vt"),
                                       QStringLiteral("out"),           QStringLiteral("corpus"),
                                       QStringLiteral("artifacts"),     QStringLiteral("fuzz.log")};

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
    // The reader creates only directories and regular files, so this removes
    // nothing outside "out".
    QDir(QStringLiteral("out")).removeRecursively();
    QDir().mkdir(QStringLiteral("out"));

    VessariTar reader;
    reader.extract(QStringLiteral("input.vt"), QStringLiteral("out"));
    reader.list(QStringLiteral("input.vt"), [](const VessariTar::EntryInfo&) {});

    for (const QString& name :
         QDir().entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (!expectedEntries.contains(name)) {
            std::fprintf(stderr, "fuzz_archive: entry escaped the target: %s\n", qPrintable(name));
            std::abort();
        }
    }
    return 0;
}
