#include "FolderPlanner.h"

#include "ChunkAssembly.h"
#include "GameFolder.h"
#include "InstalledState.h"
#include "UpdatePlan.h"

#include <atomic>
#include <thread>

struct FolderPlanner::Job
{
    quint64 serial = 0;
    QString folderPath;
    bool repair = false;
    std::atomic<bool> cancel{false};
    std::atomic<qint64> done{0}, total{0};
    bool running = true; // the caller's thread's view: finished() not yet emitted
    // Written by the planning thread only, read by the caller's after join().
    Result result;
    std::thread thread;

    void run();
};

void FolderPlanner::Job::run()
{
    if (!result.index) {
        result.why = QStringLiteral("No index to plan from");
        return;
    }
    result.folder = std::make_unique<GameFolder>();
    if (!result.folder->open(folderPath, &result.why))
        return;
    InstalledState state;
    QString ignored;
    // A damaged or foreign state is no state: every file is read.
    const bool haveState = state.load(*result.folder, &ignored);
    result.store = std::make_unique<ChunkStore>();
    if (!result.store->open(*result.folder, result.index->archiveSize, &result.why))
        return;
    PlanOptions options;
    options.repair = repair;
    options.cancel = &cancel;
    options.progress = [this](qint64 hashed, qint64 all) {
        // The total first: a reader that reads the done bytes first never sees more done than
        // there is to do.
        total.store(all);
        done.store(hashed);
        return true;
    };
    auto plan = std::make_unique<UpdatePlan>();
    if (!planUpdate(*result.index, *result.folder, haveState ? &state : nullptr, result.store.get(),
                    options, *plan, &result.why))
        return;
    // Nothing to read reports nothing: the end is the total either way.
    done.store(total.load());
    result.plan = std::move(plan);
    result.ok = true;
}

FolderPlanner::FolderPlanner(QObject* parent) : QObject(parent)
{
    // A signal rather than a posted functor: Qt copies the serial under its own locks.
    connect(this, &FolderPlanner::jobEnded, this, &FolderPlanner::jobDone, Qt::QueuedConnection);
}

FolderPlanner::~FolderPlanner()
{
    cancel();
}

void FolderPlanner::start(std::unique_ptr<UpdateIndex> index, const QString& folderPath,
                          bool repair)
{
    cancel();
    stoppedAt = {0, 0};
    job = std::make_unique<Job>();
    job->serial = ++serial;
    job->folderPath = folderPath;
    job->repair = repair;
    job->result.index = std::move(index);
    Job* const work = job.get();
    const quint64 id = job->serial;
    job->thread = std::thread([this, work, id] {
        work->run();
        // Queued to this object's thread; a cancel() there joins this thread first, and a
        // result it no longer waits for is recognised by its serial and dropped.
        emit jobEnded(id, QPrivateSignal());
    });
}

void FolderPlanner::jobDone(quint64 id)
{
    if (!job || job->serial != id || !job->running)
        return;
    job->thread.join();
    job->running = false;
    emit finished(job->result.ok);
}

void FolderPlanner::cancel()
{
    if (!job)
        return;
    job->cancel.store(true);
    if (job->thread.joinable())
        job->thread.join();
    stoppedAt = {job->done.load(), job->total.load()};
    job.reset();
}

bool FolderPlanner::isRunning() const
{
    return job && job->running;
}

qint64 FolderPlanner::bytesHashed() const
{
    return job ? job->done.load() : stoppedAt.first;
}

qint64 FolderPlanner::bytesToHash() const
{
    return job ? job->total.load() : stoppedAt.second;
}

FolderPlanner::Result FolderPlanner::takeResult()
{
    if (!job || job->running)
        return Result();
    return std::move(job->result);
}
