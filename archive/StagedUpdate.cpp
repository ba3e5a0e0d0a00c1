#include "StagedUpdate.h"

#include "ControlCharacters.h"
#include "FileIo.h"
#include "Log.h"
#include "PathSafety.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// Directories of the current path kept open below every checkpoint level: with
// names of up to 16384 bytes a path can be thousands of levels deep, more than the
// usual limit of 1024 descriptors, and reopening at most this many levels from the
// nearest checkpoint keeps a walk back up linear.
constexpr qsizetype kOpenWindow = 64;
// Symbolic links followed for one path, as the kernel's own limit.
constexpr int kMaxLinkHops = 40;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Every name this class creates in a target starts so; the updater's own hidden
// files (".update.vt..." downloads) do not.
const QByteArray kPrefix = ".vt-";
const QByteArray kJournalMagic = "vt-journal 1\n";
// Marks a pending entry as a directory made by this run under a temporary name.
constexpr quint32 kDirBit = 0x80000000u;
// A journal larger than this is not one of ours.
constexpr qint64 kMaxJournal = qint64(1) << 32;

QString reasonOf(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QList<QByteArray> components(const QByteArray& path)
{
    QList<QByteArray> parts = path.split('/');
    parts.removeIf([](const QByteArray& part) { return part.isEmpty() || part == "."; });
    return parts;
}

QByteArray readLinkAt(int dirFd, const char* name)
{
    QByteArray text(4096, Qt::Uninitialized);
    const ssize_t got = ::readlinkat(dirFd, name, text.data(), size_t(text.size()));
    if (got < 0 || got >= text.size())
        return QByteArray();
    text.truncate(got);
    return text;
}

quint64 fnv1a(const char* data, size_t size, quint64 hash = 14695981039346656037ull)
{
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ quint8(data[i])) * 1099511628211ull;
    return hash;
}

quint64 pendingHash(quint32 slot, const char* leaf, size_t size)
{
    return fnv1a(leaf, size, fnv1a(reinterpret_cast<const char*>(&slot), sizeof slot));
}

// The whole of a regular file under dirFd, not following a link; empty on failure.
bool readSmallFile(int dirFd, const QByteArray& name, QByteArray& text)
{
    // Not waiting on a FIFO planted under the name.
    const int fd =
        ::openat(dirFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd < 0)
        return false;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size < kMaxJournal;
    if (ok) {
        text.resize(qsizetype(info.st_size));
        ok = FileIo::readAll(fd, text.data(), text.size());
    }
    ::close(fd);
    return ok;
}

bool isRunId(const QByteArray& id)
{
    return !id.isEmpty() && id.size() <= 16 && std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
    });
}

// The names this class gives its own files: ".vt-ID.journal", ".vt-ID.stage" and
// ".vt-ID-N.tmp".
bool isReservedName(const QByteArray& name)
{
    if (!name.startsWith(kPrefix))
        return false;
    const QByteArray rest = name.mid(kPrefix.size());
    for (const char* suffix : {".journal", ".stage"}) {
        if (rest.endsWith(suffix) && isRunId(rest.chopped(qsizetype(std::strlen(suffix)))))
            return true;
    }
    const qsizetype dash = rest.indexOf('-');
    bool number = false;
    rest.mid(dash + 1).chopped(4).toUInt(&number);
    return rest.endsWith(".tmp") && dash > 0 && isRunId(rest.left(dash)) && number;
}

bool isPlainName(const QByteArray& name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') &&
           !name.contains('\0');
}

// Removes name under dirFd and all it holds, never following a link: a tree this
// class made under one of its own names.
void removeTree(int dirFd, const QByteArray& name)
{
    if (::unlinkat(dirFd, name.constData(), AT_REMOVEDIR) == 0 || errno == ENOENT)
        return;
    const int fd =
        ::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* dir = fd >= 0 ? ::fdopendir(::fcntl(fd, F_DUPFD_CLOEXEC, 0)) : nullptr;
    QList<QByteArray> names;
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
        if (isPlainName(entry->d_name))
            names << QByteArray(entry->d_name);
    }
    if (dir)
        ::closedir(dir);
    for (const QByteArray& child : names) {
        if (::unlinkat(fd, child.constData(), 0) != 0 && (errno == EISDIR || errno == EPERM))
            removeTree(fd, child);
    }
    if (fd >= 0)
        ::close(fd);
    ::unlinkat(dirFd, name.constData(), AT_REMOVEDIR);
}

QByteArray encoded(const QByteArray& path)
{
    return path.isEmpty() ? QByteArray(".") : path.toPercentEncoding("/");
}

QByteArray decoded(const QByteArray& text)
{
    return text == "." ? QByteArray() : QByteArray::fromPercentEncoding(text);
}

QByteArray joined(const QByteArray& dir, const QByteArray& name)
{
    return dir.isEmpty() ? name : dir + '/' + name;
}

} // namespace

void StagedUpdate::File::reset()
{
    direct = false;
    if (out >= 0)
        ::close(out);
    if (ownedDir >= 0)
        ::close(ownedDir);
    out = ownedDir = dirFd = -1;
    leaf.clear();
    found = false;
    tempNo = 0;
}

StagedUpdate::File::~File()
{
    reset();
}

StagedUpdate::StagedUpdate()
{
    // Test-only: stop the process at a named point, so that a test can kill it there.
    stopAt = qgetenv("VT_TEST_STOP");
    // Measurement only (bench/extract_vs_tar.sh compares the ways).
    const QByteArray sync = qgetenv("VT_DURABILITY");
    if (sync == "fdatasync")
        durability = Durability::FileSync;
    else if (sync == "off")
        durability = Durability::Unsynced;
}

StagedUpdate::~StagedUpdate()
{
    abort();
}

bool StagedUpdate::fail(const QString& message, const QString& path, int error)
{
    LOG(Error, message + path + (error ? QStringLiteral(": ") + reasonOf(error) : QString()));
    QString why = message;
    while (why.endsWith(QLatin1Char(' ')) || why.endsWith(QLatin1Char(':')))
        why.chop(1);
    lastError = path + QStringLiteral(": ") + (error ? reasonOf(error) : why);
    return false;
}

bool StagedUpdate::open(const QString& target, bool createMissing)
{
    if (rootFd >= 0)
        return false;
    lastError.clear();
    targetPath = QDir::cleanPath(QDir(target).absolutePath());
    const QByteArray root = QFile::encodeName(targetPath);
    rootFd = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0 && errno == ENOENT && createMissing && QDir().mkpath(targetPath)) {
        rootCreated = true;
        rootFd = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    struct stat info;
    if (rootFd < 0 || ::fstat(rootFd, &info) != 0) {
        const int error = errno;
        abort();
        return fail(QStringLiteral("Could not open the target directory "), targetPath, error);
    }
    rootDev = info.st_dev;
    rootIno = info.st_ino;
    canonicalRoot = QFile::encodeName(QFileInfo(targetPath).canonicalFilePath());
    if (!lock()) {
        abort();
        return false;
    }
    isOpen = true;
    recover();
    // Directories holding temporaries stay open up to a share of the descriptor
    // limit; beyond it they are found again by path, and must not have moved.
    rlimit files;
    const rlim_t soft = ::getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 1024;
    slotBudget = int(std::clamp<rlim_t>(soft / 4, 8, 4096));
    runId = QByteArray::number(QRandomGenerator::global()->generate64() >> 4, 36);
    return true;
}

bool StagedUpdate::lock()
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (::flock(rootFd, LOCK_EX | LOCK_NB) == 0)
            return true;
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EWOULDBLOCK) {
            // A file system without locks (some network ones) should not stop every
            // update.
            LOG(Warning, QStringLiteral("Could not lock ") + targetPath + QStringLiteral(": ") +
                             reasonOf(error) + QStringLiteral("; going on without the lock"));
            return true;
        }
        if (clock.elapsed() >= lockWaitMsecs) {
            LOG(Error,
                QStringLiteral("Another update of this directory is still running: ") + targetPath);
            lastError = targetPath + QStringLiteral(": another update of this directory is "
                                                    "still running");
            return false;
        }
        QThread::msleep(20);
    }
}

bool StagedUpdate::finishInterrupted(const QString& target)
{
    if (!QFileInfo(target).isDir())
        return true;
    StagedUpdate update;
    return update.open(target);
}

// Runs that left a journal or a stage record behind; the lock says none is running.
void StagedUpdate::recover()
{
    const int listFd = ::openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return;
    }
    std::map<QByteArray, bool> runs; // id, has a journal
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith(kPrefix))
            continue;
        for (const char* suffix : {".journal", ".stage"}) {
            const qsizetype length = qsizetype(std::strlen(suffix));
            const QByteArray id = name.mid(kPrefix.size(), name.size() - kPrefix.size() - length);
            if (name.endsWith(suffix) && isRunId(id)) {
                bool& journal = runs[id];
                journal = journal || suffix[1] == 'j';
            }
        }
    }
    ::closedir(dir);
    for (const auto& [id, journal] : runs)
        recoverRun(id, journal);
}

bool StagedUpdate::recoverRun(const QByteArray& id, bool hasJournal)
{
    const QByteArray journalName = kPrefix + id + ".journal", stageName = kPrefix + id + ".stage";
    QByteArray journal, stage;
    // A journal that is not complete was cut off while being written: that run never
    // renamed anything.
    bool committed = false;
    if (hasJournal && readSmallFile(rootFd, journalName, journal)) {
        const qsizetype end = journal.lastIndexOf("\nend ", journal.size() - 2);
        const QList<QByteArray> trailer = journal.mid(end + 5).trimmed().split(' ');
        committed =
            journal.startsWith(kJournalMagic) && journal.endsWith('\n') && end > 0 &&
            trailer.size() == 1 &&
            trailer[0] == QByteArray::number(fnv1a(journal.constData(), size_t(end + 1)), 16);
    }
    readSmallFile(rootFd, stageName, stage);
    bool ok = true;
    if (committed)
        ok = applyJournal(id, journal.left(journal.lastIndexOf("\nend ", journal.size() - 2)));
    removeStaged(id, stage, !committed);
    ::unlinkat(rootFd, stageName.constData(), 0);
    if (committed && durability != Durability::Unsynced)
        ::syncfs(rootFd);
    ::unlinkat(rootFd, journalName.constData(), 0);
    ::fsync(rootFd);
    if (committed)
        LOG(Info, QStringLiteral("An interrupted update was completed"));
    else
        LOG(Info, QStringLiteral("An unfinished update was discarded"));
    return ok;
}

bool StagedUpdate::applyJournal(const QByteArray& id, const QByteArray& text)
{
    std::vector<QByteArray> dirs;
    int current = -1, currentFd = -1;
    bool ok = true;
    const auto dirFd = [&](const QByteArray& index) {
        bool valid = false;
        const qsizetype at = index.toLongLong(&valid);
        if (!valid || at < 0 || size_t(at) >= dirs.size())
            return -1;
        if (at != current) {
            if (currentFd >= 0)
                ::close(currentFd);
            int error = 0;
            currentFd = openRelative(dirs[size_t(at)], error);
            current = int(at);
        }
        return currentFd;
    };
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> field = lines[i].split(' ');
        if (field.size() == 3 && field[0] == "d") {
            dirs.push_back(decoded(field[2]));
            continue;
        }
        const bool rename = field.size() == 4 && field[0] == "r";
        if (!rename && !(field.size() == 3 && field[0] == "x"))
            continue;
        const QByteArray leaf = decoded(field.last());
        const int fd = dirFd(field[1]);
        if (fd < 0 || !isPlainName(leaf))
            continue;
        int result = 0;
        if (rename) {
            const QByteArray temp = kPrefix + id + '-' + field[2] + ".tmp";
            result = ::renameat(fd, temp.constData(), fd, leaf.constData());
        } else {
            result = ::unlinkat(fd, leaf.constData(), 0);
            if (result != 0 && (errno == EISDIR || errno == EPERM))
                result = ::unlinkat(fd, leaf.constData(), AT_REMOVEDIR);
        }
        // A rename done before the interruption has no temporary any more.
        if (result != 0 && errno != ENOENT) {
            ok = false;
            LOG(Error, QStringLiteral("Could not complete the update: ") +
                           escapeControlCharacters(
                               QFile::decodeName(joined(dirs[size_t(current)], leaf))) +
                           QStringLiteral(": ") + reasonOf(errno));
        }
    }
    if (currentFd >= 0)
        ::close(currentFd);
    return ok;
}

void StagedUpdate::removeStaged(const QByteArray& id, const QByteArray& record, bool removeCreated)
{
    const QByteArray tempStart = kPrefix + id + '-';
    std::vector<QByteArray> made;
    for (const QByteArray& line : record.split('\n')) {
        if (line.startsWith("d "))
            made.push_back(decoded(line.mid(2)));
        if (!line.startsWith("t "))
            continue;
        int error = 0;
        const int fd = openRelative(decoded(line.mid(2)), error);
        DIR* dir = fd >= 0 ? ::fdopendir(::dup(fd)) : nullptr;
        while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
            const QByteArray name(entry->d_name);
            struct stat info;
            if (!name.startsWith(tempStart) || !name.endsWith(".tmp") ||
                ::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISREG(info.st_mode))
                ::unlinkat(fd, entry->d_name, 0);
            else if (S_ISDIR(info.st_mode))
                removeTree(fd, name);
        }
        if (dir)
            ::closedir(dir);
        if (fd >= 0)
            ::close(fd);
    }
    // Deepest first: a directory is always recorded after its parent. One that holds
    // anything now is not removed.
    for (auto it = made.rbegin(); removeCreated && it != made.rend(); ++it) {
        const qsizetype slash = it->lastIndexOf('/');
        int error = 0;
        const int parent = openRelative(slash < 0 ? QByteArray() : it->left(slash), error);
        const QByteArray name = it->mid(slash + 1);
        if (parent >= 0 && isPlainName(name))
            ::unlinkat(parent, name.constData(), AT_REMOVEDIR);
        if (parent >= 0)
            ::close(parent);
    }
}

int StagedUpdate::openRelative(const QByteArray& path, int& error)
{
    int current = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    int hops = 0;
    for (const QByteArray& part : components(path)) {
        int next = -1;
        const Outcome result =
            part == ".." ? Outcome::Escapes : openDir(current, part, false, next, error, hops);
        ::close(current);
        if (result != Outcome::Done)
            return -1;
        current = next;
    }
    return current;
}

StagedUpdate::Outcome StagedUpdate::makeDirectory(const QString& path, int& error)
{
    if (!isOpen || !isSafeEntryPath(path, hostPathRules()))
        return Outcome::Escapes;
    const QList<QByteArray> parts = components(QFile::encodeName(path));
    // An update could otherwise plant a journal for the next run to carry out.
    if (std::any_of(parts.begin(), parts.end(), isReservedName)) {
        error = EPERM;
        return Outcome::Failed;
    }
    int fd = -1;
    return openParent(parts, parts.size(), true, fd, error);
}

StagedUpdate::Outcome StagedUpdate::resolveFile(const QString& path, File& file, int& error)
{
    return resolveLeaf(path, true, file, error);
}

StagedUpdate::Outcome StagedUpdate::resolveLeaf(const QString& path, bool followLast, File& file,
                                                int& error)
{
    file.reset();
    if (!isOpen || !isSafeEntryPath(path, hostPathRules()))
        return Outcome::Escapes;
    QList<QByteArray> parts = components(QFile::encodeName(path));
    if (parts.isEmpty()) {
        error = EISDIR;
        return Outcome::Failed;
    }
    if (std::any_of(parts.begin(), parts.end(), isReservedName)) {
        error = EPERM;
        return Outcome::Failed;
    }
    file.leaf = parts.takeLast();
    Outcome opened = openParent(parts, parts.size(), false, file.dirFd, error);
    // A link as the last component is followed only to a place inside the target.
    int hops = 0;
    int* knownSlot = nullptr;
    if (opened == Outcome::Done)
        knownSlot = parts.isEmpty() ? &rootSlot : &chain[size_t(parts.size() - 1)].slot;
    while (opened == Outcome::Done) {
        const int slot = knownSlot && *knownSlot >= 0 ? *knownSlot : slotFor(file.dirFd, error);
        if (knownSlot)
            *knownSlot = slot;
        knownSlot = nullptr;
        if (slot < 0) {
            opened = Outcome::Failed;
            break;
        }
        file.slot = quint32(slot);
        // A file staged earlier stands where the update puts it; a removal makes room.
        const qint64 at = pending.empty() ? -1 : findPending(file.slot, file.leaf);
        if (at >= 0) {
            const quint32 temp = pending[size_t(at)].tempNo;
            file.found =
                temp != 0 && ::fstatat(file.dirFd, tempName(temp).constData(), &file.old, 0) == 0;
            break;
        }
        if (dirSlots[file.slot].fresh)
            break;
        if (::fstatat(file.dirFd, file.leaf.constData(), &file.old, AT_SYMLINK_NOFOLLOW) != 0) {
            error = errno;
            opened = error == ENOENT ? Outcome::Done : Outcome::Failed;
            break;
        }
        if (!S_ISLNK(file.old.st_mode) || !followLast) {
            file.found = true;
            break;
        }
        int linkedDir = -1;
        QByteArray linkedLeaf;
        opened = followInside(file.dirFd, readLinkAt(file.dirFd, file.leaf.constData()), false,
                              linkedDir, linkedLeaf, error, hops);
        if (file.ownedDir >= 0)
            ::close(file.ownedDir);
        file.ownedDir = file.dirFd = linkedDir;
        file.leaf = linkedLeaf;
    }
    if (opened != Outcome::Done)
        file.reset();
    return opened;
}

bool StagedUpdate::createFile(File& file, mode_t newFileMode, int& error)
{
    if (file.dirFd < 0 || file.out >= 0) {
        error = EBADF;
        return false;
    }
    if (dirSlots[file.slot].fresh) {
        // In a directory this run made, hidden under a temporary name until the commit,
        // a file is written under its own name; one staged twice is rewritten.
        constexpr int create = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
        file.out = ::openat(file.dirFd, file.leaf.constData(), create, newFileMode);
        struct stat info;
        if (file.out < 0 && errno == EEXIST &&
            ::fstatat(file.dirFd, file.leaf.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            errno = S_ISDIR(info.st_mode) ? EISDIR : 0;
            if (!S_ISDIR(info.st_mode))
                file.out = ::openat(file.dirFd, file.leaf.constData(),
                                    O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
        }
        if (file.out < 0) {
            error = errno;
            return false;
        }
        file.direct = true;
        return true;
    }
    if (!dirSlots[file.slot].listed) {
        const QByteArray path = dirSlots[file.slot].path; // record() may add a slot
        if (!record('t', path, error))
            return false;
        dirSlots[file.slot].listed = true;
    }
    // Set-id bits stay with the old content: they are not the file's to keep.
    const bool keepBits = file.found && S_ISREG(file.old.st_mode);
    const mode_t mode = keepBits ? 0600 : newFileMode;
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0; file.out < 0 && attempt < 100; ++attempt) {
        file.tempNo = ++nextTemp;
        file.out = ::openat(file.dirFd, tempName(file.tempNo).constData(), flags, mode);
        if (file.out < 0 && errno != EEXIST)
            break;
    }
    if (file.out < 0) {
        error = errno;
        return false;
    }
    openTemps.emplace_back(file.slot, file.tempNo);
    if (keepBits && ::fchmod(file.out, file.old.st_mode & 0777) != 0) {
        error = errno;
        discardFile(file);
        return false;
    }
    return true;
}

bool StagedUpdate::finishFile(File& file, int& error)
{
    if (file.out < 0) {
        error = EBADF;
        return false;
    }
    if (durability == Durability::FileSync && ::fdatasync(file.out) != 0) {
        error = errno;
        discardFile(file);
        return false;
    }
    const int out = file.out;
    file.out = -1;
    if (::close(out) != 0) {
        error = errno;
        discardFile(file);
        return false;
    }
    if (file.direct)
        return true;
    openTemps.erase(std::find(openTemps.begin(), openTemps.end(),
                              std::pair<quint32, quint32>(file.slot, file.tempNo)));
    const qint64 at = pending.empty() ? -1 : findPending(file.slot, file.leaf);
    if (at >= 0) {
        // The earlier content would only be renamed over: the later entry wins.
        Pending& entry = pending[size_t(at)];
        if (entry.tempNo != 0)
            ::unlinkat(file.dirFd, tempName(entry.tempNo).constData(), 0);
        entry.tempNo = file.tempNo;
    } else if (!addPending(file.slot, file.tempNo, file.leaf)) {
        error = EFBIG;
        ::unlinkat(file.dirFd, tempName(file.tempNo).constData(), 0);
        return false;
    }
    if (pending.size() == 1 && at < 0)
        stopForTest("staging");
    return true;
}

void StagedUpdate::discardFile(File& file)
{
    if (file.out >= 0)
        ::close(file.out);
    if (file.direct && file.out >= 0)
        ::unlinkat(file.dirFd, file.leaf.constData(), 0);
    file.out = -1;
    file.direct = false;
    if (file.tempNo != 0 && file.dirFd >= 0) {
        const auto open = std::find(openTemps.begin(), openTemps.end(),
                                    std::pair<quint32, quint32>(file.slot, file.tempNo));
        if (open != openTemps.end()) {
            ::unlinkat(file.dirFd, tempName(file.tempNo).constData(), 0);
            openTemps.erase(open);
        }
    }
    file.tempNo = 0;
}

StagedUpdate::Outcome StagedUpdate::stageRemoval(const QString& path, int& error)
{
    File file;
    const Outcome result = resolveLeaf(path, false, file, error);
    if (result != Outcome::Done)
        return result;
    if (dirSlots[file.slot].fresh) {
        // Nobody sees a directory this run made before the commit.
        if (::unlinkat(file.dirFd, file.leaf.constData(), 0) != 0 && errno != ENOENT)
            removeTree(file.dirFd, file.leaf);
        return Outcome::Done;
    }
    const qint64 at = pending.empty() ? -1 : findPending(file.slot, file.leaf);
    if (at >= 0) {
        Pending& entry = pending[size_t(at)];
        if (entry.tempNo != 0)
            ::unlinkat(file.dirFd, tempName(entry.tempNo).constData(), 0);
        entry.tempNo = 0;
    } else if (!addPending(file.slot, 0, file.leaf)) {
        error = EFBIG;
        return Outcome::Failed;
    }
    return Outcome::Done;
}

qint64 StagedUpdate::freeSpace() const
{
    struct statvfs info;
    if (rootFd < 0 || ::fstatvfs(rootFd, &info) != 0)
        return -1;
    return qint64(info.f_bavail) * qint64(info.f_frsize);
}

qint64 StagedUpdate::blockSize() const
{
    struct statvfs info;
    if (rootFd < 0 || ::fstatvfs(rootFd, &info) != 0 || info.f_frsize == 0)
        return 1;
    return qint64(info.f_frsize);
}

bool StagedUpdate::commit()
{
    if (!isOpen || !openTemps.empty()) {
        abort();
        return fail(QStringLiteral("Could not complete the update: "), targetPath, EBUSY);
    }
    int error = 0;
    // Directories found again by path must be the ones the files were written to.
    for (size_t i = 0; i < dirSlots.size(); ++i) {
        if (dirSlots[i].fd < 0 && dirSlots[i].listed && slotFd(quint32(i), error) < 0) {
            const QString path = escapeControlCharacters(QFile::decodeName(dirSlots[i].path));
            abort();
            return fail(QStringLiteral("A directory was moved while the update was written: "),
                        path, 0);
        }
    }
    bool ok = true;
    stopForTest("staged");
    if (!pending.empty()) {
        // One flush of the whole file system costs less than one per file for many
        // small files and about the same for a few large ones: bench/extract_vs_tar.sh,
        // "durability".
        if ((durability == Durability::SyncFs && ::syncfs(rootFd) != 0) ||
            (durability == Durability::FileSync && !flushDirectories(true))) {
            error = errno;
            abort();
            return fail(QStringLiteral("Could not write the update to disk in "), targetPath,
                        error);
        }
        // The journal: every directory by its path as it is now, then the renames and
        // removals in staging order, then a checksum that tells a complete journal.
        QByteArray journal = kJournalMagic;
        std::vector<qint64> number(dirSlots.size(), -1);
        qint64 dirs = 0;
        for (const Pending& entry : pending) {
            qint64& index = number[entry.slot];
            if (index >= 0)
                continue;
            index = dirs++;
            Slot& slot = dirSlots[entry.slot];
            QByteArray now;
            if (slot.fd >= 0 && pathOf(slot.fd, now))
                slot.path = now;
            journal += "d " + QByteArray::number(index) + ' ' + encoded(slot.path) + '\n';
        }
        for (const Pending& entry : pending) {
            journal += (entry.tempNo ? "r " : "x ") + QByteArray::number(number[entry.slot]);
            if (entry.tempNo)
                journal += ' ' + QByteArray::number(entry.tempNo & ~kDirBit);
            journal += ' ' + encoded(leafOf(entry)) + '\n';
        }
        journal += "end " +
                   QByteArray::number(fnv1a(journal.constData(), size_t(journal.size())), 16) +
                   '\n';
        const QByteArray journalName = kPrefix + runId + ".journal";
        const int fd = ::openat(rootFd, journalName.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        const bool synced = durability == Durability::Unsynced;
        if (fd < 0 || !FileIo::writeAll(fd, journal.constData(), journal.size()) ||
            (!synced && ::fdatasync(fd) != 0) || ::close(fd) != 0 ||
            (!synced && ::fsync(rootFd) != 0)) {
            error = errno;
            if (fd >= 0)
                ::unlinkat(rootFd, journalName.constData(), 0);
            abort();
            return fail(QStringLiteral("Could not write the update journal in "), targetPath,
                        error);
        }
        journal = QByteArray();
        stopForTest("journal");

        // From here on the update is done, now or by the next run.
        size_t renamed = 0;
        const size_t renames = size_t(std::count_if(pending.begin(), pending.end(),
                                                    [](const Pending& p) { return p.tempNo; }));
        for (int pass = 0; pass < 2; ++pass) {
            for (const Pending& entry : pending) {
                if ((pass == 0) != (entry.tempNo != 0))
                    continue;
                if (pass == 0 && renamed++ == renames / 2)
                    stopForTest("commit");
                const QByteArray leaf = leafOf(entry);
                const int dirFd = slotFd(entry.slot, error);
                int result = -1;
                if (dirFd >= 0 && pass == 0) {
                    result = ::renameat(dirFd, tempName(entry.tempNo).constData(), dirFd,
                                        leaf.constData());
                } else if (dirFd >= 0) {
                    result = ::unlinkat(dirFd, leaf.constData(), 0);
                    if (result != 0 && (errno == EISDIR || errno == EPERM))
                        result = ::unlinkat(dirFd, leaf.constData(), AT_REMOVEDIR);
                    if (result != 0 && errno == ENOENT)
                        result = 0;
                }
                if (result != 0) {
                    error = dirFd < 0 ? error : errno;
                    if (dirFd >= 0 && pass == 0 && (entry.tempNo & kDirBit))
                        removeTree(dirFd, tempName(entry.tempNo));
                    else if (dirFd >= 0 && pass == 0)
                        ::unlinkat(dirFd, tempName(entry.tempNo).constData(), 0);
                    ok = fail(QStringLiteral("Could not complete the update: "),
                              escapeControlCharacters(
                                  QFile::decodeName(joined(dirSlots[entry.slot].path, leaf))),
                              error);
                }
            }
        }
        if (!flushDirectories(false) && ok)
            ok = fail(QStringLiteral("Could not write the update to disk in "), targetPath, errno);
        stopForTest("committed");
        if (recordFd >= 0)
            ::unlinkat(rootFd, (kPrefix + runId + ".stage").constData(), 0);
        ::unlinkat(rootFd, journalName.constData(), 0);
        if (durability != Durability::Unsynced)
            ::fsync(rootFd);
    } else if (recordFd >= 0) {
        ::unlinkat(rootFd, (kPrefix + runId + ".stage").constData(), 0);
    }
    // What stays is the update's now; nothing is undone.
    pending.clear();
    rootCreated = false;
    closeAll();
    return ok;
}

bool StagedUpdate::flushDirectories(bool fresh)
{
    if (durability == Durability::SyncFs)
        return ::syncfs(rootFd) == 0;
    if (durability == Durability::Unsynced)
        return true;
    bool ok = true;
    int error = 0;
    for (size_t i = 0; i < dirSlots.size(); ++i) {
        if (dirSlots[i].fresh != fresh)
            continue;
        const int fd = slotFd(quint32(i), error);
        ok = fd >= 0 && ::fsync(fd) == 0 && ok;
    }
    return ok;
}

void StagedUpdate::abort()
{
    if (isOpen) {
        int error = 0;
        for (const auto& [slot, tempNo] : openTemps) {
            const int fd = slotFd(slot, error);
            if (fd >= 0)
                ::unlinkat(fd, tempName(tempNo).constData(), 0);
        }
        for (const Pending& entry : pending) {
            const int fd = entry.tempNo ? slotFd(entry.slot, error) : -1;
            if (fd >= 0 && (entry.tempNo & kDirBit))
                removeTree(fd, tempName(entry.tempNo));
            else if (fd >= 0)
                ::unlinkat(fd, tempName(entry.tempNo).constData(), 0);
        }
        if (recordFd >= 0)
            ::unlinkat(rootFd, (kPrefix + runId + ".stage").constData(), 0);
        // Last, as every removal above changed them; the root was the first touched.
        for (size_t i = dirSlots.size(); i-- > 0;) {
            const int fd = slotFd(quint32(i), error);
            if (fd >= 0)
                ::futimens(fd, dirSlots[i].times);
        }
    }
    if (rootCreated)
        ::rmdir(QFile::encodeName(targetPath).constData());
    closeAll();
}

void StagedUpdate::closeAll()
{
    closeChain(0);
    for (Slot& slot : dirSlots) {
        if (slot.fd >= 0)
            ::close(slot.fd);
    }
    for (int* fd : {&cachedFd, &recordFd, &rootFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    cachedSlot = rootSlot = -1;
    openSlots = 0;
    dirSlots.clear();
    slotIndex.clear();
    pending.clear();
    leaves.clear();
    pendingIndex.clear();
    openTemps.clear();
    rootCreated = isOpen = false;
}

void StagedUpdate::stopForTest(const char* point) const
{
    if (stopAt == point)
        ::raise(SIGSTOP);
}

QByteArray StagedUpdate::tempName(quint32 tempNo) const
{
    return kPrefix + runId + '-' + QByteArray::number(tempNo & ~kDirBit) + ".tmp";
}

bool StagedUpdate::record(char kind, const QByteArray& path, int& error)
{
    if (recordFd < 0) {
        // The root's times are taken before the record changes them.
        if (slotFor(rootFd, error) < 0)
            return false;
        recordFd = ::openat(rootFd, (kPrefix + runId + ".stage").constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_APPEND, 0600);
        if (recordFd < 0) {
            error = errno;
            return false;
        }
    }
    // Not flushed: it only has to outlive the process; what a power cut loses of it
    // was mostly lost with the data it names.
    const QByteArray line = QByteArray(1, kind) + ' ' + encoded(path) + '\n';
    if (!FileIo::writeAll(recordFd, line.constData(), line.size())) {
        error = errno;
        return false;
    }
    return true;
}

bool StagedUpdate::pathOf(int fd, QByteArray& path) const
{
    char link[48];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const QByteArray text = readLinkAt(AT_FDCWD, link);
    const QByteArray rootSlash = canonicalRoot.endsWith('/') ? canonicalRoot : canonicalRoot + '/';
    if (!text.isEmpty() && (text == canonicalRoot || text.startsWith(rootSlash))) {
        path = text == canonicalRoot ? QByteArray() : text.mid(rootSlash.size());
        return true;
    }
    // Without /proc, or for a path longer than it shows: name each level in its
    // parent, up to the target.
    QList<QByteArray> names;
    int current = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    while (current >= 0) {
        struct stat here, up;
        if (::fstat(current, &here) != 0)
            break;
        if (here.st_dev == rootDev && here.st_ino == rootIno) {
            ::close(current);
            std::reverse(names.begin(), names.end());
            path = names.join('/');
            return true;
        }
        const int parent = ::openat(current, "..", kDirFlags);
        ::close(current);
        current = -1;
        if (parent < 0 || ::fstat(parent, &up) != 0 ||
            (up.st_dev == here.st_dev && up.st_ino == here.st_ino)) {
            if (parent >= 0)
                ::close(parent);
            break;
        }
        DIR* dir = ::fdopendir(::openat(parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        QByteArray found;
        while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
            struct stat info;
            if (entry->d_ino == here.st_ino && isPlainName(entry->d_name) &&
                ::fstatat(parent, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                info.st_dev == here.st_dev && info.st_ino == here.st_ino) {
                found = entry->d_name;
                break;
            }
        }
        if (dir)
            ::closedir(dir);
        if (found.isEmpty()) {
            ::close(parent);
            break;
        }
        names << found;
        current = parent;
    }
    return false;
}

int StagedUpdate::findSlot(int dirFd) const
{
    struct stat info;
    if (::fstat(dirFd, &info) != 0)
        return -1;
    const auto it = slotIndex.find({info.st_dev, info.st_ino});
    return it == slotIndex.end() ? -1 : int(it->second);
}

int StagedUpdate::slotFor(int dirFd, int& error)
{
    struct stat info;
    if (::fstat(dirFd, &info) != 0) {
        error = errno;
        return -1;
    }
    const auto it = slotIndex.find({info.st_dev, info.st_ino});
    if (it != slotIndex.end())
        return int(it->second);
    Slot slot{info.st_dev, info.st_ino, -1, {}, {info.st_atim, info.st_mtim}, false, false};
    if (!pathOf(dirFd, slot.path)) {
        error = ENOENT;
        return -1;
    }
    if (openSlots < slotBudget) {
        slot.fd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
        openSlots += slot.fd >= 0;
    }
    dirSlots.push_back(slot);
    slotIndex.emplace(std::pair(info.st_dev, info.st_ino), quint32(dirSlots.size() - 1));
    return int(dirSlots.size() - 1);
}

int StagedUpdate::slotFd(quint32 slot, int& error)
{
    const Slot& entry = dirSlots[slot];
    if (entry.fd >= 0)
        return entry.fd;
    if (cachedSlot == int(slot))
        return cachedFd;
    if (cachedFd >= 0)
        ::close(cachedFd);
    cachedSlot = -1;
    cachedFd = openRelative(entry.path, error);
    struct stat info;
    if (cachedFd >= 0 &&
        (::fstat(cachedFd, &info) != 0 || info.st_dev != entry.dev || info.st_ino != entry.ino)) {
        ::close(cachedFd);
        cachedFd = -1;
        error = ESTALE;
    }
    if (cachedFd >= 0)
        cachedSlot = int(slot);
    return cachedFd;
}

qint64 StagedUpdate::findPending(quint32 slot, const QByteArray& leaf) const
{
    if (pendingIndex.empty())
        return -1;
    const size_t mask = pendingIndex.size() - 1;
    for (size_t i = pendingHash(slot, leaf.constData(), size_t(leaf.size())) & mask;
         pendingIndex[i] != 0; i = (i + 1) & mask) {
        const Pending& entry = pending[pendingIndex[i] - 1];
        if (entry.slot == slot && entry.leafSize == quint32(leaf.size()) &&
            std::memcmp(leaves.data() + entry.leafAt, leaf.constData(), entry.leafSize) == 0)
            return qint64(pendingIndex[i] - 1);
    }
    return -1;
}

bool StagedUpdate::addPending(quint32 slot, quint32 tempNo, const QByteArray& leaf)
{
    if (leaves.size() + size_t(leaf.size()) > 0xFFFFFFFFu || pending.size() >= 0x7FFFFFFFu)
        return false;
    pending.push_back(Pending{slot, tempNo, quint32(leaves.size()), quint32(leaf.size())});
    leaves.insert(leaves.end(), leaf.begin(), leaf.end());
    if (pending.size() * 2 > pendingIndex.size()) {
        pendingIndex.assign(std::max<size_t>(64, pendingIndex.size() * 2), 0);
        for (size_t i = 0; i < pending.size(); ++i) {
            const Pending& entry = pending[i];
            size_t at = pendingHash(entry.slot, leaves.data() + entry.leafAt, entry.leafSize) &
                        (pendingIndex.size() - 1);
            while (pendingIndex[at] != 0)
                at = (at + 1) & (pendingIndex.size() - 1);
            pendingIndex[at] = quint32(i + 1);
        }
        return true;
    }
    const size_t mask = pendingIndex.size() - 1;
    size_t at = pendingHash(slot, leaf.constData(), size_t(leaf.size())) & mask;
    while (pendingIndex[at] != 0)
        at = (at + 1) & mask;
    pendingIndex[at] = quint32(pending.size());
    return true;
}

QByteArray StagedUpdate::leafOf(const Pending& entry) const
{
    return QByteArray(leaves.data() + entry.leafAt, qsizetype(entry.leafSize));
}

// ---- resolution: walked with directory descriptors, never through a link outside

StagedUpdate::Outcome StagedUpdate::openParent(const QList<QByteArray>& parts, qsizetype count,
                                               bool create, int& fd, int& error)
{
    // Consecutive paths mostly share their directories: keep the common part of the
    // chain, reopen closed levels from the nearest open one, then descend.
    qsizetype common = 0;
    const qsizetype kept = qsizetype(chain.size());
    while (common < kept && common < count && chain[size_t(common)].name == parts[common])
        ++common;
    closeChain(common);
    qsizetype start = common;
    while (start > 0 && chain[size_t(start - 1)].fd < 0)
        --start;
    int hops = 0;
    for (qsizetype i = start; i < count; ++i) {
        const int parent = i == 0 ? rootFd : chain[size_t(i - 1)].fd;
        int child = -1;
        const Outcome result = openDir(parent, parts[i], create, child, error, hops);
        if (result != Outcome::Done) {
            closeChain(i);
            return result;
        }
        if (i < qsizetype(chain.size()))
            chain[size_t(i)] = Level{parts[i], child, -1};
        else
            chain.push_back(Level{parts[i], child, -1});
    }
    fd = count == 0 ? rootFd : chain[size_t(count - 1)].fd;
    for (qsizetype i = 0; i < count - kOpenWindow; ++i) {
        Level& level = chain[size_t(i)];
        if ((i + 1) % kOpenWindow != 0 && level.fd >= 0) {
            ::close(level.fd);
            level.fd = -1;
        }
    }
    return Outcome::Done;
}

StagedUpdate::Outcome StagedUpdate::openDir(int dirFd, const QByteArray& name, bool create, int& fd,
                                            int& error, int& hops)
{
    for (;;) {
        fd = ::openat(dirFd, name.constData(), kDirFlags);
        if (fd >= 0)
            return Outcome::Done;
        error = errno;
        if (error == ENOENT && !pending.empty()) {
            // A directory this run made is under its temporary name; a file staged
            // under this name is in the way, as it will be.
            const int slot = findSlot(dirFd);
            const qint64 at = slot < 0 ? -1 : findPending(quint32(slot), name);
            const quint32 temp = at < 0 ? 0 : pending[size_t(at)].tempNo;
            if (temp & kDirBit) {
                fd = ::openat(dirFd, tempName(temp).constData(), kDirFlags);
                error = errno;
                return fd >= 0 ? Outcome::Done : Outcome::Failed;
            }
            if (temp != 0) {
                error = ENOTDIR;
                return Outcome::Failed;
            }
        }
        if (error == ENOENT && create) {
            create = false;
            const int parent = slotFor(dirFd, error);
            if (parent < 0)
                return Outcome::Failed;
            QByteArray made = name;
            if (!dirSlots[size_t(parent)].fresh) {
                // Made under a temporary name, and renamed with the files at the commit:
                // what it holds is written under its own names, a rename per directory
                // rather than per file (bench/extract_vs_tar.sh, "20000 files of 1 KiB").
                if (!dirSlots[size_t(parent)].listed) {
                    const QByteArray path = dirSlots[size_t(parent)].path;
                    if (!record('t', path, error))
                        return Outcome::Failed;
                    dirSlots[size_t(parent)].listed = true;
                }
                const quint32 temp = ++nextTemp | kDirBit;
                made = tempName(temp);
                if (::mkdirat(dirFd, made.constData(), 0777) != 0) {
                    error = errno;
                    return Outcome::Failed;
                }
                if (!addPending(quint32(parent), temp, name)) {
                    ::unlinkat(dirFd, made.constData(), AT_REMOVEDIR);
                    error = EFBIG;
                    return Outcome::Failed;
                }
            } else if (::mkdirat(dirFd, made.constData(), 0777) != 0 && errno != EEXIST) {
                error = errno;
                return Outcome::Failed;
            }
            fd = ::openat(dirFd, made.constData(), kDirFlags);
            error = errno;
            if (fd < 0)
                return Outcome::Failed;
            const int slot = slotFor(fd, error);
            if (slot >= 0)
                dirSlots[size_t(slot)].fresh = true;
            return Outcome::Done;
        }
        if (error == ENOENT)
            return Outcome::Missing;
        if (error != ELOOP && error != ENOTDIR)
            return Outcome::Failed;
        // Not a directory, or a symbolic link that O_NOFOLLOW stopped at.
        const QByteArray text = readLinkAt(dirFd, name.constData());
        if (text.isEmpty()) {
            error = ENOTDIR;
            return Outcome::Failed;
        }
        QByteArray unused;
        return followInside(dirFd, text, true, fd, unused, error, hops);
    }
}

StagedUpdate::Outcome StagedUpdate::followInside(int dirFd, const QByteArray& text, bool lastIsDir,
                                                 int& fd, QByteArray& leaf, int& error, int& hops)
{
    // Resolved component by component from descriptors known to be inside: ".."
    // at the target itself and an absolute path elsewhere both lead outside.
    if (text.isEmpty() || ++hops > kMaxLinkHops)
        return Outcome::Escapes;
    QByteArray rest = text;
    int current = -1;
    if (text.startsWith('/')) {
        if (canonicalRoot.isEmpty() ||
            !(text == canonicalRoot || text.startsWith(canonicalRoot + '/')))
            return Outcome::Escapes;
        rest = text.mid(canonicalRoot.size());
        current = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    } else {
        current = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    }
    if (current < 0) {
        error = errno;
        return Outcome::Failed;
    }
    QList<QByteArray> parts = components(rest);
    if (!lastIsDir) {
        if (parts.isEmpty() || parts.last() == "..") {
            ::close(current);
            error = EISDIR;
            return Outcome::Failed;
        }
        leaf = parts.takeLast();
    }
    for (const QByteArray& part : parts) {
        int next = -1;
        Outcome result = Outcome::Done;
        if (part == ".." && isRoot(current)) {
            result = Outcome::Escapes;
        } else if (part == "..") {
            next = ::openat(current, "..", kDirFlags);
            error = errno;
            result = next >= 0 ? Outcome::Done : Outcome::Failed;
        } else {
            result = openDir(current, part, false, next, error, hops);
        }
        ::close(current);
        if (result != Outcome::Done)
            return result == Outcome::Missing ? Outcome::Escapes : result;
        current = next;
    }
    fd = current;
    return Outcome::Done;
}

bool StagedUpdate::isRoot(int fd) const
{
    struct stat info;
    return ::fstat(fd, &info) == 0 && info.st_dev == rootDev && info.st_ino == rootIno;
}

void StagedUpdate::closeChain(qsizetype from)
{
    while (qsizetype(chain.size()) > from) {
        if (chain.back().fd >= 0)
            ::close(chain.back().fd);
        chain.pop_back();
    }
}
