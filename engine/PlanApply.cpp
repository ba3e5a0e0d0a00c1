#include "PlanApply.h"

#include "ControlCharacters.h"
#include "FileIo.h"
#include "GameFolder.h"
#include "InstalledState.h"
#include "PathSafety.h"
#include "StagedUpdate.h"

#include <QFile>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

void setWhy(QString* why, const QString& text)
{
    if (why)
        *why = text;
}

// The format stores no permissions: a script or an ELF program must stay
// runnable, as extraction makes it.
bool looksExecutable(const char* data, qint64 size)
{
    return (size >= 2 && data[0] == '#' && data[1] == '!') || (size >= 4 && std::memcmp(data,
                                                                                        "\x7F"
                                                                                        "ELF",
                                                                                        4) == 0);
}

QString outcomeReason(StagedUpdate::Outcome outcome, int error)
{
    switch (outcome) {
    case StagedUpdate::Outcome::Missing:
        return EngineIo::reason(ENOENT);
    case StagedUpdate::Outcome::Escapes:
        return QStringLiteral("a symbolic link on the way leads outside the folder");
    default:
        return EngineIo::reason(error);
    }
}

QString parentOf(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash > 0 ? path.left(slash) : QString();
}

} // namespace

bool applyPlan(const UpdatePlan& plan, const UpdateIndex& index, const GameFolder& folder,
               const ChunkStore& store, StagedUpdate& staged, InstalledState& state,
               AssemblyFailure* failure, QString* why)
{
    if (failure)
        *failure = AssemblyFailure();
    if (why)
        why->clear();
    // Whatever fails, the folder is left as it was.
    struct AbortUnlessCommitted
    {
        StagedUpdate& staged;
        bool committed = false;
        ~AbortUnlessCommitted()
        {
            if (!committed)
                staged.abort();
        }
    } guard{staged};
    qint64 toWrite = 0;
    for (const PlannedFile& file : plan.files)
        if (!file.unchanged)
            toWrite += file.size;
    const qint64 space = staged.freeSpace();
    if (space >= 0 && toWrite > space) {
        setWhy(why, QStringLiteral("Not enough free space: the update writes %1 bytes, %2 are free")
                        .arg(toWrite)
                        .arg(space));
        return false;
    }
    int error = 0;
    for (const QString& dir : plan.directories) {
        const StagedUpdate::Outcome made = staged.makeDirectory(dir, error);
        if (made != StagedUpdate::Outcome::Done) {
            setWhy(why, QStringLiteral("Could not create directory %1: %2")
                            .arg(escapeControlCharacters(dir), outcomeReason(made, error)));
            return false;
        }
    }

    ChunkAssembler assembler(folder, &store, plan);
    for (size_t i = 0; i < plan.files.size(); ++i) {
        const PlannedFile& planned = plan.files[i];
        if (planned.unchanged)
            continue;
        const QString shown = escapeControlCharacters(planned.path);
        StagedUpdate::File file;
        StagedUpdate::Outcome found = staged.resolveFile(planned.path, file, error);
        if (found == StagedUpdate::Outcome::Missing && !parentOf(planned.path).isEmpty() &&
            staged.makeDirectory(parentOf(planned.path), error) == StagedUpdate::Outcome::Done)
            found = staged.resolveFile(planned.path, file, error);
        if (found != StagedUpdate::Outcome::Done) {
            setWhy(why, QStringLiteral("Could not create file %1: %2")
                            .arg(shown, outcomeReason(found, error)));
            return false;
        }
        if (file.exists() && S_ISDIR(file.existing().st_mode)) {
            setWhy(why, QStringLiteral("Could not create file %1: %2")
                            .arg(shown, EngineIo::reason(EISDIR)));
            return false;
        }
        bool createFailed = false;
        const auto write = [&](const char* data, qint64 size) {
            if (file.fd() < 0 &&
                !staged.createFile(file, looksExecutable(data, size) ? 0777 : 0666, error)) {
                createFailed = true;
                errno = error;
                return false;
            }
            return FileIo::writeAll(file.fd(), data, size);
        };
        AssemblyFailure failed;
        bool ok = assembler.assemble(planned, write, &failed);
        // An empty file gets no chunk: it is created here.
        if (ok && file.fd() < 0 && !write(nullptr, 0)) {
            ok = false;
            failed = AssemblyFailure{AssemblyFailure::Kind::Write,
                                     QStringLiteral("%1: %2").arg(shown, EngineIo::reason(errno))};
        }
        if (ok && !staged.finishFile(file, error)) {
            ok = false;
            failed = AssemblyFailure{AssemblyFailure::Kind::Write,
                                     QStringLiteral("%1: %2").arg(shown, EngineIo::reason(error))};
        }
        if (!ok) {
            staged.discardFile(file);
            failed.file = int(i);
            setWhy(why, (createFailed ? QStringLiteral("Could not create file ") : QString()) +
                            failed.reason);
            if (failure)
                *failure = failed;
            return false;
        }
    }
    for (const PlannedRemoval& removal : plan.removals) {
        // Changed since planning (by the player, or the game): kept.
        struct stat info;
        if (folder.examine(removal.path, &info) != GameFolder::Kind::Regular ||
            info.st_size != removal.size || GameFolder::mtimeNs(info) != removal.mtimeNs)
            continue;
        const QString& path = removal.path;
        const StagedUpdate::Outcome removed = staged.stageRemoval(path, error);
        if (removed != StagedUpdate::Outcome::Done && removed != StagedUpdate::Outcome::Missing) {
            setWhy(why, QStringLiteral("Could not remove %1: %2")
                            .arg(escapeControlCharacters(path), outcomeReason(removed, error)));
            return false;
        }
    }
    guard.committed = true;
    if (!staged.commit()) {
        setWhy(why, staged.errorString());
        return false;
    }
    // Recorded as now on disk: the next update reads only what changes after this.
    // Without a record it reads every file, which is slow but right; a stale
    // record must not stay.
    QString recordError;
    installedStateOf(index, folder, state);
    if (!state.save(folder, &recordError)) {
        ::unlinkat(folder.rootFd(), QFile::encodeName(InstalledState::fileName()).constData(), 0);
        state = InstalledState();
        setWhy(why, QStringLiteral("The update is installed, but not recorded: ") + recordError);
    }
    return true;
}
