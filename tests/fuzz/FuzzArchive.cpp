// libFuzzer target for the archive reader: every input is extracted and listed inside the
// sandbox directory that run.sh makes the current directory, into a target holding planted
// links to a directory beside it, a hard link to a file there and a FIFO. Nothing outside the
// target may change, and no input may hang the reader (run.sh gives each input a timeout).
#include "TestFiles.h"
#include "VessariTar.h"

#include <QRegularExpression>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#define CHECK(ok, what)                                                                            \
    ((ok) ? void() : (std::fputs("fuzz_archive: " what "\n", stderr), std::abort()))

static const auto kAll = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Extraction writes relative to the current directory: refuse to run anywhere but a
    // sandbox prepared for it.
    if (!QFile::exists(".fuzz-sandbox")) {
        std::fputs("fuzz_archive: not a fuzzing sandbox; run through tests/fuzz/run.sh\n", stderr);
        std::exit(2);
    }
    // Flushing to disk after each input would only slow the search down.
    ::setenv("VT_DURABILITY", "off", 1);
    // The directory beside the target, made once: any change to it ends the run.
    QDir("outside").removeRecursively();
    CHECK(QDir().mkdir("outside") && writeFile("outside/victim", "keep"),
          "cannot make the directory outside");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Removal does not follow the planted links, so it stays inside the sandbox.
    QDir("out").removeRecursively();
    CHECK(writeFile("input.vt", QByteArray(reinterpret_cast<const char*>(data), qsizetype(size))) &&
              QDir().mkdir("out") && ::symlink("../outside", "out/l") == 0 &&
              ::symlink("../outside/victim", "out/f") == 0 &&
              ::link("outside/victim", "out/h") == 0 && ::mkfifo("out/p", 0666) == 0,
          "cannot plant the target");

    VessariTar reader;
    const bool extracted = reader.extract("input.vt", "out");
    // All or nothing: a failure leaves the target as planted, a success nothing staged.
    // Only the staging's own names: an archive may well make a ".vt-..." of its own.
    static const QRegularExpression staged(
        QStringLiteral("^\\.vt-[0-9a-z]{1,16}(\\.journal|\\.stage|-[0-9]+\\.tmp)$"));
    QDirIterator it("out", kAll, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        CHECK(!staged.match(it.fileName()).hasMatch(), "a staged file was left in the target");
    }
    CHECK(extracted || QDir("out").entryList(kAll) == QStringList({"f", "h", "l", "p"}),
          "a failed extraction changed the target");
    reader.list("input.vt", [](const VessariTar::EntryInfo&) {});

    QFile victim("outside/victim");
    CHECK(victim.open(QIODevice::ReadOnly) && victim.readAll() == "keep" &&
              QDir("outside").entryList(kAll) == QStringList("victim"),
          "a write went outside the target");
    // Anything else in the sandbox got past the reader's path checks.
    const QStringList expected{".fuzz-sandbox", "artifacts", "corpus", "fuzz.log",
                               "input.vt",      "out",       "outside"};
    for (const QString& name : QDir().entryList(kAll))
        CHECK(expected.contains(name), "an entry escaped the target");
    return 0;
}
