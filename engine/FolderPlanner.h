#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <utility>

class ChunkStore;
class GameFolder;
struct UpdateIndex;
struct UpdatePlan;

// Plans an incremental update on a thread of its own: opens the game folder, its installed state
// and the chunk store, and reads and hashes the files that changed, which without an installed
// state or for a repair is the whole game. The event loop of the thread that made it goes on
// meanwhile; finished() comes back to it. What the planning uses and makes belongs to the
// planning thread until then, and to the caller's thread afterwards (takeResult()).
class FolderPlanner : public QObject
{
    Q_OBJECT

public:
    struct Result
    {
        bool ok = false;
        QString why; // when not ok
        // The index given to start(), back whatever the outcome; the others as far as planning
        // got, so that the caller can tidy up (e.g. remove the store it opened).
        std::unique_ptr<UpdateIndex> index;
        std::unique_ptr<GameFolder> folder;
        std::unique_ptr<ChunkStore> store;
        std::unique_ptr<UpdatePlan> plan; // set when ok
    };

    explicit FolderPlanner(QObject* parent = nullptr);
    // Cancels planning in flight.
    ~FolderPlanner() override;

    // Plans index against the folder at folderPath (repair: every file read, the installed
    // state's sizes and times not trusted). Cancels any planning in flight first.
    void start(std::unique_ptr<UpdateIndex> index, const QString& folderPath, bool repair);
    // Stops the planning and waits for its thread, which gives up after the block it is reading:
    // no file is touched once this returns, and finished() does not follow.
    void cancel();
    // From start() until finished() is emitted (or cancel()).
    bool isRunning() const;

    // Local bytes read and hashed so far, and in all (known once the folder is examined, before
    // anything is read; read the hashed bytes first to never see more than the total). They only
    // grow, end equal when the planning succeeds, and stay as they were at the end or at
    // cancel() until the next start().
    qint64 bytesHashed() const;
    qint64 bytesToHash() const;

    // After finished(): what the planning made. Once.
    Result takeResult();

signals:
    void finished(bool ok);
    // From the planning thread, queued to this object's: the job of that serial has ended.
    void jobEnded(quint64 serial, QPrivateSignal);

private:
    struct Job;
    void jobDone(quint64 serial);

    std::unique_ptr<Job> job;
    quint64 serial = 0;
    std::pair<qint64, qint64> stoppedAt{0, 0}; // hashed and to hash when cancelled
};
