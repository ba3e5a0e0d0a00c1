#include "ArchiveWriter.h"
#include "ChunkAssembly.h"
#include "FolderPlanner.h"
#include "GameFolder.h"
#include "InstalledState.h"
#include "TestFiles.h"
#include "UpdatePlan.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <unistd.h>

namespace {

// "path=seed:KiB" items as a tree of random contents; "path=seed:KiB+" the same with bytes
// appended, so that only its last chunks differ.
Tree treeFrom(const QString& layout)
{
    Tree tree;
    for (const QString& item : layout.split(' ', Qt::SkipEmptyParts)) {
        const QString value = item.section('=', 1);
        QByteArray data = seededBytes(value.section(':', 0, 0).toUInt(),
                                      value.section(':', 1).remove('+').toInt() * 1024);
        if (value.endsWith('+'))
            data += "appended";
        tree.insert(item.section('=', 0, 0), data);
    }
    return tree;
}

// Everything a plan says, one line each, so that two plans compare with a readable difference.
QStringList described(const UpdatePlan& plan)
{
    QStringList out;
    for (size_t i = 0; i < plan.sources.size(); ++i)
        out << QStringLiteral("source %1 %2").arg(i).arg(plan.sources[i]);
    for (const PlannedFile& file : plan.files) {
        out << QStringLiteral("file %1 %2 %3").arg(file.path).arg(file.size).arg(file.unchanged);
        for (const PlannedChunk& c : file.chunks)
            out << QStringLiteral("  chunk %1 %2 %3 %4 %5 %6 %7")
                       .arg(int(c.from))
                       .arg(c.length)
                       .arg(QString::fromLatin1(c.hash.toHex()))
                       .arg(c.archiveOffset)
                       .arg(c.source)
                       .arg(c.sourceOffset)
                       .arg(c.storeOffset);
    }
    for (const QString& dir : plan.directories)
        out << "directory " + dir;
    for (const PlannedRemoval& removal : plan.removals)
        out << QStringLiteral("remove %1 %2 %3")
                   .arg(removal.path)
                   .arg(removal.size)
                   .arg(removal.mtimeNs);
    for (const ByteRange& range : plan.fetch)
        out << QStringLiteral("fetch %1+%2").arg(range.offset).arg(range.length);
    const PlanStats& s = plan.stats;
    out << QStringLiteral("stats %1 %2 %3 %4 %5 %6 %7 %8 %9 max %10")
               .arg(s.bytesToFetch)
               .arg(s.chunkBytesToFetch)
               .arg(s.ranges)
               .arg(s.bytesReused)
               .arg(s.bytesFromStore)
               .arg(s.bytesRead)
               .arg(s.filesUnchanged)
               .arg(s.filesAssembled)
               .arg(s.filesRemoved)
               .arg(plan.maxChunkLength);
    return out;
}

// A file of size bytes that reads as zeros and takes no space: a large game file read
// without filling the disk.
bool makeSparse(const QString& path, qint64 size)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool ok = fd >= 0 && ::ftruncate(fd, size) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

} // namespace

// Planning on the planner's thread: the same plan as planUpdate makes where it is called, with
// progress that only grows and ends at what there was to read, and a cancel (or the planner's
// end, or a new start) that stops it part way through a large file with nothing reported after.
class TestFolderPlanner : public QObject
{
    Q_OBJECT

    QTemporaryDir suite;
    QString caseDir, game;

    void publish(const Tree& tree, const QString& name, UpdateIndex& index)
    {
        const QString source = caseDir + '/' + name;
        QVERIFY(QDir().mkpath(source));
        makeTree(source, tree);
        QString error;
        QVERIFY2(packDirectory(source, source + ".vt", PackOptions(), &error), qPrintable(error));
        QVERIFY2(UpdateIndex::build(source + ".vt", index, &error), qPrintable(error));
    }

private slots:
    void init()
    {
        static int count = 0;
        caseDir = suite.filePath(QString::number(++count));
        game = caseDir + "/game";
        QVERIFY(QDir().mkpath(game));
    }

    void plan_data()
    {
        QTest::addColumn<QString>("installed"); // the old version, recorded; empty: no state
        QTest::addColumn<QString>("player");    // then written over it by the player
        QTest::addColumn<QString>("next");      // the new version
        QTest::addColumn<bool>("repair");
        QTest::addColumn<QStringList>("read"); // the files the planner must read
        const QString old = "a=1:300 b=2:200 c=3:100 d=4:40";
        QTest::newRow("no state: every file at a new path read")
            << "" << old << "a=1:300 b=2:200+ e=5:50" << false << QStringList{"a", "b"};
        QTest::newRow("state: only the changed file read")
            << old << "b=2:200+"
            << "a=1:300 b=2:200 c=3:100" << false << QStringList{"b"};
        QTest::newRow("repair: every file read")
            << old << ""
            << "a=1:300 b=2:200+ c=3:100 e=5:50" << true << QStringList{"a", "b", "c", "d"};
        QTest::newRow("nothing changed: nothing read")
            << old << ""
            << "a=1:300 b=2:200 c=3:100 d=4:40" << false << QStringList();
    }

    void plan()
    {
        QFETCH(QString, installed);
        QFETCH(QString, player);
        QFETCH(QString, next);
        QFETCH(bool, repair);
        QFETCH(QStringList, read);

        if (!installed.isEmpty()) {
            UpdateIndex oldIndex;
            publish(treeFrom(installed), "old", oldIndex);
            makeTree(game, treeFrom(installed));
            GameFolder folder;
            InstalledState state;
            QVERIFY(folder.open(game));
            installedStateOf(oldIndex, folder, state);
            QVERIFY(state.save(folder));
        }
        const Tree local = treeFrom(player);
        makeTree(game, local);
        auto index = std::make_unique<UpdateIndex>();
        publish(treeFrom(next), "new", *index);
        const UpdateIndex copy = *index;
        qint64 toRead = 0;
        for (const QString& path : read)
            toRead += QFileInfo(game + '/' + path).size();

        FolderPlanner planner;
        QSignalSpy finished(&planner, &FolderPlanner::finished);
        // Sampled on this thread while the planner works on its own.
        QList<QPair<qint64, qint64>> samples;
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, this, [&] {
            const qint64 hashed = planner.bytesHashed();
            samples.append({hashed, planner.bytesToHash()});
        });
        sampler.start(0);
        planner.start(std::move(index), game, repair);
        QVERIFY(planner.isRunning());
        QVERIFY(finished.wait(60000));
        sampler.stop();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toBool(), true);
        QVERIFY(!planner.isRunning());
        samples.append({planner.bytesHashed(), planner.bytesToHash()});
        for (int i = 1; i < samples.size(); ++i)
            QVERIFY2(
                samples[i].first >= samples[i - 1].first,
                qPrintable(QString("%1 after %2").arg(samples[i].first).arg(samples[i - 1].first)));
        // The hashed bytes read first: never past the total.
        for (const auto& sample : samples)
            QVERIFY(sample.first <= sample.second);
        QCOMPARE(samples.last(), qMakePair(toRead, toRead));

        FolderPlanner::Result result = planner.takeResult();
        QVERIFY(result.ok && result.index && result.folder && result.store && result.plan);
        QCOMPARE(result.index->serialize(), copy.serialize());
        QCOMPARE(result.plan->stats.bytesRead, toRead);
        result.store->close();

        // The same plan where planUpdate is called, with the store the planner opened.
        GameFolder folder;
        QVERIFY(folder.open(game));
        InstalledState state;
        const bool haveState = !installed.isEmpty();
        QVERIFY(state.load(folder));
        ChunkStore store;
        QVERIFY(store.open(folder, copy.archiveSize));
        PlanOptions options;
        options.repair = repair;
        UpdatePlan direct;
        QVERIFY(planUpdate(copy, folder, haveState ? &state : nullptr, &store, options, direct));
        QCOMPARE(described(*result.plan), described(direct));
        QVERIFY(!result.plan->files.empty());
    }

    void stopped_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("cancelled") << "cancel";
        QTest::newRow("planner destroyed") << "destroy";
        QTest::newRow("started again on another folder") << "restart";
    }

    // Stopped while it reads a file far larger than it can read before the stop: it gives up
    // part way, and nothing follows.
    void stopped()
    {
        QFETCH(QString, how);
        constexpr qint64 large = qint64(1) << 30;
        auto index = std::make_unique<UpdateIndex>();
        publish(treeFrom("big=1:100 small=2:50"), "new", *index);
        const UpdateIndex copy = *index;
        QVERIFY(makeSparse(game + "/big", large));

        auto planner = std::make_unique<FolderPlanner>();
        bool reported = false;
        connect(planner.get(), &FolderPlanner::finished, this, [&] { reported = true; });
        planner->start(std::move(index), game, false);
        QVERIFY(QTest::qWaitFor([&] { return planner->bytesHashed() > 0; }, 60000));
        QVERIFY(planner->isRunning());
        QCOMPARE(planner->bytesToHash(), large);

        QString other;
        if (how == "cancel") {
            planner->cancel();
            QVERIFY(!planner->isRunning());
            // It stopped between blocks of the large file, and stays stopped.
            const qint64 hashed = planner->bytesHashed();
            QVERIFY(hashed > 0 && hashed < large);
            QCOMPARE(planner->bytesToHash(), large);
            QVERIFY(!planner->takeResult().index);
        } else if (how == "destroy") {
            planner.reset();
        } else {
            other = caseDir + "/other";
            makeTree(other, treeFrom("small=2:50"));
            planner->start(std::make_unique<UpdateIndex>(copy), other, false);
        }
        // Nothing reads the folder any more: it can go, and nothing comes back in it.
        QVERIFY(QDir(game).removeRecursively());
        // Anything posted before the stop has been delivered by the time this queued call runs.
        bool drained = false;
        QMetaObject::invokeMethod(
            this, [&] { drained = true; }, Qt::QueuedConnection);
        QVERIFY(QTest::qWaitFor([&] { return drained; }, 60000));
        QVERIFY(!QFileInfo::exists(game));
        if (how != "restart") {
            QVERIFY(!reported);
            return;
        }
        // The second planning alone reports, once.
        QVERIFY(QTest::qWaitFor([&] { return reported; }, 60000));
        FolderPlanner::Result result = planner->takeResult();
        QVERIFY(result.ok && result.plan);
        QCOMPARE(planner->bytesToHash(), qint64(50 * 1024));
        QCOMPARE(result.plan->stats.filesUnchanged, 1);
        QCOMPARE(result.plan->stats.bytesRead, qint64(50 * 1024));
        reported = false;
        drained = false;
        QMetaObject::invokeMethod(
            this, [&] { drained = true; }, Qt::QueuedConnection);
        QVERIFY(QTest::qWaitFor([&] { return drained; }, 60000));
        QVERIFY(!reported);
    }

    void failed_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("why");
        QTest::newRow("missing folder") << "missing"
                                        << "Could not open folder";
        QTest::newRow("a file, not a folder") << "new.vt"
                                              << "Could not open folder";
        QTest::newRow("an index naming a path twice") << "game"
                                                      << "The index lists a twice";
    }

    // A planning that fails reports it, with the index back for the whole download.
    void failed()
    {
        QFETCH(QString, folder);
        QFETCH(QString, why);
        auto index = std::make_unique<UpdateIndex>();
        publish(treeFrom("a=1:10"), "new", *index);
        if (why.contains("twice"))
            index->entries.push_back(index->entries.back());
        FolderPlanner planner;
        QSignalSpy finished(&planner, &FolderPlanner::finished);
        planner.start(std::move(index), caseDir + '/' + folder, false);
        QVERIFY(finished.wait(60000));
        QCOMPARE(finished.first().first().toBool(), false);
        FolderPlanner::Result result = planner.takeResult();
        QVERIFY(!result.ok && result.index && !result.plan);
        QVERIFY2(result.why.contains(why), qPrintable(result.why));
    }
};

QTEST_GUILESS_MAIN(TestFolderPlanner)
#include "tst_folderplanner.moc"
