#pragma once

#include <QByteArray>
#include <QString>
#include <map>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>
#include <vector>

// Applies a set of new files and removals to a target directory all at once: every
// file is written to a temporary in its final directory, and nothing is renamed
// over its final name until commit(). A failure before the commit, a destruction
// without commit() or a crash leaves the target as it was, down to the permission
// bits and modification times of the directories touched.
//
// Crash safety: the run writes a record, ".vt-ID.stage" in the target, of the
// directories it creates or writes temporaries (".vt-ID-N.tmp") into; commit()
// writes the list of renames and removals, ".vt-ID.journal", to stable storage
// before the first rename. open() first completes a journal left by a killed run
// (roll forward) and removes what a run killed before its journal left, touching
// nothing that does not follow those names.
//
// Paths are relative to the target and resolved as an extraction does: no path
// may leave the target, and a symbolic link under it is followed only while it
// stays inside. One object stages one update; it is not thread-safe.
class StagedUpdate
{
public:
    enum class Outcome
    {
        Done,
        Missing, // a directory on the way does not exist
        Escapes, // a link on the way leads outside the target (or dangles)
        Failed   // error holds the errno value
    };

    // A file being staged: resolveFile() finds where it goes, createFile() opens its
    // temporary (fd()), finishFile() or discardFile() ends it.
    class File
    {
    public:
        File() = default;
        ~File();
        File(const File&) = delete;
        File& operator=(const File&) = delete;

        int fd() const { return out; }
        // Whether something is at the final name (through a link, where it leads), as
        // the update would see it: a file staged earlier counts.
        bool exists() const { return found; }
        const struct stat& existing() const { return old; }

    private:
        friend class StagedUpdate;
        void reset();
        int dirFd = -1;    // borrowed, or ownedDir
        int ownedDir = -1; // opened while following a link as the last component
        QByteArray leaf;
        bool found = false;
        struct stat old = {};
        int out = -1;
        quint32 slot = 0;
        quint32 tempNo = 0;
    };

    // How the staged data reaches stable storage before the commit.
    enum class Durability
    {
        SyncFs,   // one syncfs() of the target's file system
        FileSync, // fdatasync() of each file as it is finished
        Unsynced  // for measuring the cost of the others only
    };

    StagedUpdate();
    ~StagedUpdate();
    StagedUpdate(const StagedUpdate&) = delete;
    StagedUpdate& operator=(const StagedUpdate&) = delete;

    // How long open() waits for another run on the same target to end (default 5 s).
    void setLockWait(int msecs) { lockWaitMsecs = msecs; }

    // Opens the target (creating it when missing and createMissing is set), takes its
    // lock and deals with what an interrupted run left there. False with
    // errorString() set and the failure logged.
    bool open(const QString& target, bool createMissing = false);

    // Creates path and its missing parents; an existing directory is fine.
    Outcome makeDirectory(const QString& path, int& error);
    // Finds where path's new content goes; the parent directories must exist.
    Outcome resolveFile(const QString& path, File& file, int& error);
    // Opens file's temporary. It gets the bits of the file it replaces when that is a
    // regular file (set-id bits excepted), else newFileMode under the umask.
    bool createFile(File& file, mode_t newFileMode, int& error);
    // The temporary is complete: closes it and queues its rename. A second file staged
    // at the same final name replaces the first.
    bool finishFile(File& file, int& error);
    // Closes and removes the temporary; nothing is queued.
    void discardFile(File& file);
    // Queues the removal of path (a file, a link, or a directory that is empty then).
    Outcome stageRemoval(const QString& path, int& error);

    // Free bytes for an unprivileged writer in the target's file system, and its
    // allocation unit; -1 when unknown.
    qint64 freeSpace() const;
    qint64 blockSize() const;

    // Makes the staged data durable, writes the journal, renames every file in staging
    // order, performs the removals and makes the directories durable. False (logged)
    // when the target could not be brought to the new state.
    bool commit();
    // Removes everything staged and restores the target; also done by the destructor.
    void abort();

    QString errorString() const { return lastError; }

    // Takes the lock on target and completes or discards an interrupted run, without
    // staging anything: what a program calls when it starts.
    static bool finishInterrupted(const QString& target);

private:
    struct Slot
    {
        dev_t dev;
        ino_t ino;
        int fd; // -1 beyond the descriptor budget: reopened by path
        QByteArray path;
        struct timespec times[2];
        bool listed; // named in the stage record as holding temporaries
    };
    struct Pending
    {
        quint32 slot;
        quint32 tempNo; // 0: a removal
        quint32 leafAt;
        quint32 leafSize;
    };
    struct Created
    {
        quint32 parent;
        QByteArray name;
    };
    struct Level
    {
        QByteArray name;
        int fd;
    };

    bool fail(const QString& message, const QString& path, int error);
    bool lock();
    void recover();
    bool recoverRun(const QByteArray& id, bool hasJournal);
    bool applyJournal(const QByteArray& id, const QByteArray& text);
    void removeStaged(const QByteArray& id, const QByteArray& record, bool removeCreated);
    int openRelative(const QByteArray& path, int& error);

    Outcome openParent(const QList<QByteArray>& parts, qsizetype count, bool create, int& fd,
                       int& error);
    Outcome openDir(int dirFd, const QByteArray& name, bool create, int& fd, int& error, int& hops);
    Outcome followInside(int dirFd, const QByteArray& text, bool lastIsDir, int& fd,
                         QByteArray& leaf, int& error, int& hops);
    Outcome resolveLeaf(const QString& path, bool followLast, File& file, int& error);
    bool isRoot(int fd) const;
    void closeChain(qsizetype from);

    bool pathOf(int fd, QByteArray& path) const;
    int slotFor(int dirFd, int& error);
    int findSlot(int dirFd) const;
    int slotFd(quint32 slot, int& error);
    bool record(char kind, const QByteArray& path, int& error);
    QByteArray tempName(quint32 tempNo) const;
    qint64 findPending(quint32 slot, const QByteArray& leaf) const;
    bool addPending(quint32 slot, quint32 tempNo, const QByteArray& leaf);
    QByteArray leafOf(const Pending& entry) const;
    bool flushDirectories();
    void stopForTest(const char* point) const;
    void closeAll();

    QString targetPath;
    QByteArray canonicalRoot;
    int rootFd = -1;
    dev_t rootDev = 0;
    ino_t rootIno = 0;
    bool rootCreated = false;
    bool isOpen = false;
    int lockWaitMsecs = 5000;
    Durability durability = Durability::SyncFs;
    QByteArray runId;
    int recordFd = -1;
    quint32 nextTemp = 0;
    int slotBudget = 0;
    int openSlots = 0;
    int cachedSlot = -1, cachedFd = -1;
    QString lastError;
    QByteArray stopAt;

    std::vector<Level> chain;
    std::vector<Slot> dirSlots;
    std::map<std::pair<dev_t, ino_t>, quint32> slotIndex;
    std::vector<Created> created;
    // What grows with the number of files: 16 bytes, the final name and 4 to 16 bytes
    // of index for each.
    std::vector<Pending> pending;
    std::vector<char> leaves;
    std::vector<quint32> pendingIndex; // open addressing: pending index + 1, 0 empty
    std::vector<std::pair<quint32, quint32>> openTemps; // slot, tempNo
};
