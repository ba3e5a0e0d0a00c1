#include "ArchiveWriter.h"
#include "ChunkAssembly.h"
#include "GameFolder.h"
#include "InstalledState.h"
#include "PlanApply.h"
#include "StagedUpdate.h"
#include "TestFiles.h"
#include "UpdatePlan.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Named contents: random bytes (seeded by name) and variants of them.
QByteArray content(const QString& key)
{
    if (key == "A")
        return seededBytes(1, 1024 * 1024);
    if (key == "Ai") // A with 1,000 bytes inserted in the middle
        return content("A").insert(512 * 1024, seededBytes(9, 1000));
    if (key == "A~") // A with 100 bytes overwritten in the middle: the same size
        return content("A").replace(600 * 1024, 100, QByteArray(100, 'x'));
    if (key == "B")
        return seededBytes(2, 300 * 1024);
    if (key == "C")
        return seededBytes(3, 200 * 1024);
    if (key == "Cx")
        return content("C") + "player";
    if (key == "D")
        return seededBytes(4, 300 * 1024);
    if (key == "E")
        return seededBytes(5, 40 * 1024);
    if (key == "s")
        return QByteArray("settings\n").repeated(500);
    return "<unknown " + key.toUtf8() + ">";
}

// "path=key path=key" as a tree of contents.
Tree treeFrom(const QString& layout)
{
    Tree tree;
    for (const QString& item : layout.split(' ', Qt::SkipEmptyParts))
        tree.insert(item.section('=', 0, 0), content(item.section('=', 1)));
    return tree;
}

// A row of the damage tables: what is damaged, and the reason it is refused with.
void row(const char* name, const QString& damage, const QString& why)
{
    QTest::newRow(name) << damage << why;
}

std::vector<IndexChunk> chunksOf(const QByteArray& data)
{
    std::vector<IndexChunk> chunks;
    ContentChunks::Chunker chunker([&](qint64 offset, qint32 length, const QByteArray& hash) {
        chunks.push_back(IndexChunk{offset, length, hash});
    });
    chunker.add(data.constData(), data.size());
    chunker.finish();
    return chunks;
}

} // namespace

class TestPlan : public QObject
{
    Q_OBJECT

    QTemporaryDir suite;
    QString caseDir, game, outside;

    // Packs tree into an archive and indexes it.
    void publish(const Tree& tree, const QString& name, UpdateIndex& index, QByteArray& archive)
    {
        const QString source = caseDir + '/' + name;
        QVERIFY(QDir().mkpath(source));
        makeTree(source, tree);
        QString error;
        QVERIFY2(packDirectory(source, source + ".vt", PackOptions(), &error), qPrintable(error));
        QVERIFY2(UpdateIndex::build(source + ".vt", index, &error), qPrintable(error));
        archive = readFile(source + ".vt");
    }

    // Applies "path=key" (write), "path=<gone>", "path=<link:key>" (a link to a file outside
    // holding key), "dir=<dirlink:path=key>", "path=<fifo>", "path=<kept:key>" (rewritten, size
    // and modification time restored).
    void alter(const QString& layout)
    {
        for (const QString& item : layout.split(' ', Qt::SkipEmptyParts)) {
            const QString name = item.section('=', 0, 0), value = item.section('=', 1);
            const QString path = game + '/' + name;
            const QByteArray native = QFile::encodeName(path);
            if (value == "<gone>") {
                QVERIFY(QFile::remove(path));
            } else if (value.startsWith("<link:")) {
                QVERIFY(writeFile(outside + "/linked", content(value.mid(6).chopped(1))));
                QVERIFY(QFile::remove(path));
                QCOMPARE(::symlink(QFile::encodeName(outside + "/linked"), native), 0);
            } else if (value.startsWith("<dirlink:")) {
                makeTree(outside + "/dir", treeFrom(value.mid(9).chopped(1)));
                QVERIFY(QDir(path).removeRecursively());
                QCOMPARE(::symlink(QFile::encodeName(outside + "/dir"), native), 0);
            } else if (value == "<fifo>") {
                QVERIFY(QFile::remove(path));
                QCOMPARE(::mkfifo(native, 0666), 0);
            } else if (value.startsWith("<kept:")) {
                struct stat before;
                QCOMPARE(::stat(native, &before), 0);
                QVERIFY(writeFile(path, content(value.mid(6).chopped(1))));
                const struct timespec times[2] = {before.st_atim, before.st_mtim};
                QCOMPARE(::utimensat(AT_FDCWD, native, times, 0), 0);
            } else {
                QVERIFY(writeFile(path, content(value)));
            }
        }
    }

    // The ranges a plan must fetch when exactly the reusable contents are usable locally:
    // every other chunk of the files not unchanged, once per hash, touching ones merged.
    static std::vector<ByteRange> expectedFetch(const UpdateIndex& index,
                                                const QStringList& unchanged,
                                                const QStringList& reusable, qint64& chunkBytes)
    {
        std::set<QByteArray> local, fetched;
        for (const QString& key : reusable)
            for (const IndexChunk& chunk : chunksOf(content(key)))
                local.insert(chunk.hash);
        std::vector<ByteRange> ranges;
        chunkBytes = 0;
        for (const IndexEntry& entry : index.entries) {
            if (entry.type != VessariFormat::EntryType::File || unchanged.contains(entry.path))
                continue;
            for (const IndexChunk& chunk : entry.chunks) {
                if (local.count(chunk.hash) || !fetched.insert(chunk.hash).second)
                    continue;
                ranges.push_back(ByteRange{chunk.offset, chunk.length});
                chunkBytes += chunk.length;
            }
        }
        return ::mergeRanges(ranges, 0);
    }

    // Fetches the plan's ranges from the archive into the folder's store.
    static void fetchInto(ChunkStore& store, const std::vector<ByteRange>& ranges,
                          const QByteArray& archive)
    {
        for (const ByteRange& range : ranges)
            QVERIFY(store.write(range.offset, archive.constData() + range.offset, range.length));
    }

    static QByteArray assembled(ChunkAssembler& assembler, const PlannedFile& file,
                                AssemblyFailure* failure)
    {
        QByteArray out;
        const bool ok = assembler.assemble(
            file,
            [&out](const char* data, qint64 size) {
                out.append(data, size);
                return true;
            },
            failure);
        return ok ? out : QByteArray("<failed>");
    }

    // The installed game: the old tree written and recorded as the last update.
    void install(const QString& oldLayout, InstalledState& state, UpdateIndex& oldIndex)
    {
        QByteArray oldArchive;
        publish(treeFrom(oldLayout), "old", oldIndex, oldArchive);
        makeTree(game, treeFrom(oldLayout));
        GameFolder folder;
        QVERIFY(folder.open(game));
        installedStateOf(oldIndex, folder, state);
        QCOMPARE(state.files.size(), size_t(treeFrom(oldLayout).size()));
        QVERIFY(state.save(folder));
    }

private slots:
    void init()
    {
        static int count = 0;
        caseDir = suite.filePath(QString::number(++count));
        game = caseDir + "/game";
        outside = caseDir + "/outside";
        QVERIFY(QDir().mkpath(game) && QDir().mkpath(outside));
    }

    void plan_data()
    {
        QTest::addColumn<QString>("local");
        QTest::addColumn<QString>("newTree");
        QTest::addColumn<bool>("withState");
        QTest::addColumn<bool>("repair");
        QTest::addColumn<QStringList>("unchanged");
        QTest::addColumn<QStringList>("removed");
        QTest::addColumn<QStringList>("reusable");
        QTest::addColumn<QStringList>("read");
        // The old version is always "pack.bin=A small.txt=s data/level.dat=B extra.dat=C".
        const QString same = "pack.bin=A small.txt=s data/level.dat=B extra.dat=C";
        const QStringList all{"pack.bin", "small.txt", "data/level.dat", "extra.dat"};
        const QStringList old{"A", "s", "B", "C"};
        QTest::newRow("unchanged: nothing read or fetched")
            << "" << same << true << false << all << QStringList() << old << QStringList();
        QTest::newRow("changed file: fetched whole")
            << ""
            << "pack.bin=A small.txt=s data/level.dat=D extra.dat=C" << true << false
            << QStringList{"pack.bin", "small.txt", "extra.dat"} << QStringList() << old
            << QStringList();
        QTest::newRow("inserted bytes: the chunks after them are reused")
            << ""
            << "pack.bin=Ai small.txt=s data/level.dat=B extra.dat=C" << true << false
            << QStringList{"small.txt", "data/level.dat", "extra.dat"} << QStringList() << old
            << QStringList();
        QTest::newRow("renamed: every chunk from the old path, which goes")
            << ""
            << "pack2.bin=A small.txt=s data/level.dat=B extra.dat=C" << true << false
            << QStringList{"small.txt", "data/level.dat", "extra.dat"} << QStringList{"pack.bin"}
            << old << QStringList();
        QTest::newRow("deleted: installed copy removed, changed and player's files kept")
            << "extra.dat=Cx player.sav=E"
            << "pack.bin=A small.txt=s" << true << false << QStringList{"pack.bin", "small.txt"}
            << QStringList{"data/level.dat"} << old << QStringList{"Cx"};
        QTest::newRow("missing file: fetched")
            << "data/level.dat=<gone>" << same << true << false
            << QStringList{"pack.bin", "small.txt", "extra.dat"} << QStringList()
            << QStringList{"A", "s", "C"} << QStringList();
        // Size and time are all the cache compares: without --repair such damage is trusted.
        QTest::newRow("changed, size and time kept: trusted without repair")
            << "pack.bin=<kept:A~>" << same << true << false << all << QStringList()
            << QStringList() << QStringList();
        QTest::newRow("changed, size and time kept: repair finds it")
            << "pack.bin=<kept:A~>" << same << true << true
            << QStringList{"small.txt", "data/level.dat", "extra.dat"} << QStringList()
            << QStringList{"A~", "s", "B", "C"} << QStringList{"A~", "s", "B", "C"};
        QTest::newRow("symbolic link planted at a file: not followed")
            << "pack.bin=<link:A>" << same << true << false
            << QStringList{"small.txt", "data/level.dat", "extra.dat"} << QStringList()
            << QStringList{"s", "B", "C"} << QStringList();
        QTest::newRow("FIFO planted at a file: never opened")
            << "small.txt=<fifo>" << same << true << false
            << QStringList{"pack.bin", "data/level.dat", "extra.dat"} << QStringList()
            << QStringList{"A", "B", "C"} << QStringList();
        QTest::newRow("directory replaced by a link: not followed")
            << "data=<dirlink:level.dat=B>" << same << true << false
            << QStringList{"pack.bin", "small.txt", "extra.dat"} << QStringList()
            << QStringList{"A", "s", "C"} << QStringList();
        QTest::newRow("no state: index paths read, nothing removed, no other file used")
            << ""
            << "pack.bin=A small.txt=s data/level.dat=B copy.dat=C" << false << false
            << QStringList{"pack.bin", "small.txt", "data/level.dat"} << QStringList()
            << QStringList{"A", "s", "B"} << QStringList{"A", "s", "B"};
    }

    void plan()
    {
        QFETCH(QString, local);
        QFETCH(QString, newTree);
        QFETCH(bool, withState);
        QFETCH(bool, repair);
        QFETCH(QStringList, unchanged);
        QFETCH(QStringList, removed);
        QFETCH(QStringList, reusable);
        QFETCH(QStringList, read);

        InstalledState state;
        UpdateIndex oldIndex, index;
        QByteArray archive;
        install("pack.bin=A small.txt=s data/level.dat=B extra.dat=C", state, oldIndex);
        alter(local);
        publish(treeFrom(newTree), "new", index, archive);

        GameFolder folder;
        QVERIFY(folder.open(game));
        InstalledState loaded;
        QString error;
        QVERIFY2(loaded.load(folder, &error), qPrintable(error));
        QCOMPARE(loaded.files.size(), state.files.size());
        PlanOptions options;
        options.repair = repair;
        options.mergeGap = 0;
        UpdatePlan plan;
        QVERIFY2(planUpdate(index, folder, withState ? &loaded : nullptr, nullptr, options, plan,
                            &error),
                 qPrintable(error));

        QStringList planUnchanged, planAssembled;
        for (const PlannedFile& file : plan.files)
            (file.unchanged ? planUnchanged : planAssembled) << file.path;
        unchanged.sort();
        QCOMPARE(planUnchanged, unchanged);
        QCOMPARE(planAssembled.size() + unchanged.size(), treeFrom(newTree).size());
        QStringList planRemoved;
        for (const PlannedRemoval& removal : plan.removals)
            planRemoved << removal.path;
        QCOMPARE(planRemoved, removed);
        qint64 chunkBytes = 0;
        const std::vector<ByteRange> ranges = expectedFetch(index, unchanged, reusable, chunkBytes);
        QVERIFY(plan.fetch == ranges);
        // Deterministic; with the default gap, ranges are merged across entry headers and
        // small files.
        UpdatePlan again;
        options.mergeGap = kDefaultMergeGap;
        QVERIFY(planUpdate(index, folder, withState ? &loaded : nullptr, nullptr, options, again));
        QVERIFY(again.fetch == ::mergeRanges(ranges, kDefaultMergeGap));
        QCOMPARE(again.stats.ranges, int(again.fetch.size()));
        qint64 merged = 0;
        for (const ByteRange& range : again.fetch)
            merged += range.length;
        QCOMPARE(again.stats.bytesToFetch, merged);
        options.mergeGap = 0;
        QVERIFY(planUpdate(index, folder, withState ? &loaded : nullptr, nullptr, options, again));
        QVERIFY(again.fetch == plan.fetch && again.sources == plan.sources &&
                again.removals.size() == plan.removals.size() &&
                again.directories == plan.directories);
        for (size_t i = 0; i < plan.files.size(); ++i)
            for (size_t c = 0; c < plan.files[i].chunks.size(); ++c)
                QVERIFY(again.files[i].chunks[c].source == plan.files[i].chunks[c].source &&
                        again.files[i].chunks[c].sourceOffset ==
                            plan.files[i].chunks[c].sourceOffset);
        QCOMPARE(plan.stats.chunkBytesToFetch, chunkBytes);
        QCOMPARE(plan.stats.ranges, int(ranges.size()));
        qint64 readBytes = 0;
        for (const QString& key : read)
            readBytes += content(key).size();
        QCOMPARE(plan.stats.bytesRead, readBytes);
        if (QTest::currentDataTag() ==
            QLatin1String("inserted bytes: the chunks after them are reused"))
            QVERIFY(plan.stats.chunkBytesToFetch < content("A").size() / 4);

        // Fetched and assembled, every file is byte for byte the new one.
        ChunkStore store;
        QVERIFY(store.open(folder, index.archiveSize));
        fetchInto(store, plan.fetch, archive);
        ChunkAssembler assembler(folder, &store, plan);
        const Tree wanted = treeFrom(newTree);
        for (const PlannedFile& file : plan.files) {
            AssemblyFailure failure;
            if (!file.unchanged)
                QCOMPARE(assembled(assembler, file, &failure), wanted.value(file.path));
            else if (repair || local != file.path + "=<kept:A~>")
                QCOMPARE(readFile(game + '/' + file.path), wanted.value(file.path));
            else // the trusted damage stays
                QVERIFY(readFile(game + '/' + file.path) != wanted.value(file.path));
        }
        QCOMPARE(
            plan.stats.bytesReused + chunkBytes + plan.stats.bytesFromStore,
            [&] {
                qint64 total = 0;
                for (const PlannedFile& file : plan.files)
                    for (const PlannedChunk& chunk : file.chunks)
                        total += chunk.length;
                return total;
            }() -
                [&] {
                    // Chunks fetched once serve every file that has them.
                    qint64 shared = 0;
                    std::set<qint64> seen;
                    for (const PlannedFile& file : plan.files)
                        for (const PlannedChunk& chunk : file.chunks)
                            if (chunk.from == PlannedChunk::From::Store &&
                                !seen.insert(chunk.storeOffset).second)
                                shared += chunk.length;
                    return shared;
                }());
    }

    void resume_data()
    {
        QTest::addColumn<int>("stored");   // every n-th chunk to fetch is already stored
        QTest::addColumn<bool>("corrupt"); // and the first of them is damaged
        QTest::newRow("none stored") << 0 << false;
        QTest::newRow("every second stored") << 2 << false;
        QTest::newRow("every chunk stored") << 1 << false;
        QTest::newRow("a stored chunk is corrupt: fetched again") << 2 << true;
    }

    void resume()
    {
        QFETCH(int, stored);
        QFETCH(bool, corrupt);
        InstalledState state;
        UpdateIndex oldIndex, index;
        QByteArray archive;
        install("pack.bin=A small.txt=s", state, oldIndex);
        publish(treeFrom("pack.bin=D small.txt=s new.dat=Ai"), "new", index, archive);
        GameFolder folder;
        QVERIFY(folder.open(game));
        PlanOptions options;
        options.mergeGap = 0;
        UpdatePlan first;
        QVERIFY(planUpdate(index, folder, &state, nullptr, options, first));

        // An interrupted run stored some chunks; the next run opens the store again.
        std::vector<ByteRange> kept, left;
        {
            ChunkStore store;
            QVERIFY(store.open(folder, index.archiveSize));
            int n = 0;
            bool damaged = false;
            for (const PlannedFile& file : first.files)
                for (const PlannedChunk& chunk : file.chunks) {
                    if (chunk.from != PlannedChunk::From::Store)
                        continue;
                    const ByteRange range{chunk.storeOffset, chunk.length};
                    const bool store_it = stored > 0 && n++ % stored == 0;
                    const bool damage = store_it && corrupt && !damaged;
                    damaged = damaged || damage;
                    QByteArray bytes = archive.mid(range.offset, range.length);
                    if (damage)
                        bytes[10] = char(bytes[10] ^ 1);
                    if (store_it)
                        QVERIFY(store.write(range.offset, bytes.constData(), bytes.size()));
                    (store_it && !damage ? kept : left).push_back(range);
                }
            QVERIFY(store.sync());
        }
        ChunkStore store;
        QVERIFY(store.open(folder, index.archiveSize));
        UpdatePlan next;
        QVERIFY(planUpdate(index, folder, &state, &store, options, next));
        QVERIFY(next.fetch == ::mergeRanges(left, 0));
        qint64 keptBytes = 0;
        for (const ByteRange& range : kept)
            keptBytes += range.length;
        QCOMPARE(next.stats.bytesFromStore, keptBytes);
        QVERIFY(keptBytes > 0 || stored == 0);

        fetchInto(store, next.fetch, archive);
        ChunkAssembler assembler(folder, &store, next);
        for (const PlannedFile& file : next.files)
            if (!file.unchanged)
                QCOMPARE(assembled(assembler, file, nullptr),
                         treeFrom("pack.bin=D small.txt=s new.dat=Ai").value(file.path));
    }

    void assemblyFailure_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("kind");
        QTest::newRow("corrupt store chunk") << "store" << int(AssemblyFailure::Kind::StoreChunk);
        QTest::newRow("lying server") << "server" << int(AssemblyFailure::Kind::StoreChunk);
        QTest::newRow("local file changed") << "local" << int(AssemblyFailure::Kind::LocalChunk);
        QTest::newRow("local file now a FIFO") << "fifo" << int(AssemblyFailure::Kind::LocalChunk);
    }

    void assemblyFailure()
    {
        QFETCH(QString, damage);
        QFETCH(int, kind);
        InstalledState state;
        UpdateIndex oldIndex, index;
        QByteArray archive;
        install("pack.bin=A", state, oldIndex);
        // The inserted bytes are fetched, the rest comes from the old file.
        publish(treeFrom("pack.bin=Ai"), "new", index, archive);
        GameFolder folder;
        QVERIFY(folder.open(game));
        UpdatePlan plan;
        QVERIFY(planUpdate(index, folder, &state, nullptr, PlanOptions(), plan));
        QCOMPARE(plan.files.size(), size_t(1));
        PlannedFile file = plan.files[0];
        ChunkStore store;
        QVERIFY(store.open(folder, index.archiveSize));
        QByteArray served = archive;
        if (damage == "server")
            served = seededBytes(7, archive.size());
        fetchInto(store, plan.fetch, served);

        int bad = -1;
        for (size_t i = 0; i < file.chunks.size() && bad < 0; ++i) {
            const PlannedChunk& chunk = file.chunks[i];
            const bool local = chunk.from == PlannedChunk::From::Local;
            if (local != (damage == "local" || damage == "fifo"))
                continue;
            bad = int(i);
            if (damage == "store") {
                const char flipped = char(archive[chunk.storeOffset + 5] ^ 0x40);
                QVERIFY(store.write(chunk.storeOffset + 5, &flipped, 1));
            } else if (damage == "local") {
                QFile source(game + "/pack.bin");
                QVERIFY(source.open(QIODevice::ReadWrite) && source.seek(chunk.sourceOffset + 5));
                QVERIFY(source.write("?", 1) == 1);
            } else if (damage == "fifo") {
                QVERIFY(QFile::remove(game + "/pack.bin"));
                QCOMPARE(::mkfifo(QFile::encodeName(game + "/pack.bin"), 0666), 0);
            }
        }
        QVERIFY(bad >= 0);
        ChunkAssembler assembler(folder, &store, plan);
        AssemblyFailure failure;
        QCOMPARE(assembled(assembler, file, &failure), QByteArray("<failed>"));
        QCOMPARE(int(failure.kind), kind);
        QCOMPARE(failure.chunk, bad);
        QVERIFY(failure.reason.startsWith("pack.bin bytes "));

        // The fallback: fetch the failing chunks themselves and assemble again.
        for (int round = 0; round < int(file.chunks.size()); ++round) {
            if (failure.chunk < 0)
                break;
            const ByteRange range = fetchInstead(file.chunks[size_t(failure.chunk)]);
            QVERIFY(store.write(range.offset, archive.constData() + range.offset, range.length));
            assembled(assembler, file, &failure);
        }
        QCOMPARE(int(failure.kind), int(AssemblyFailure::Kind::None));
        QCOMPARE(assembled(assembler, file, &failure), content("Ai"));
    }

    void apply_data()
    {
        QTest::addColumn<bool>("sourceChanges");
        QTest::newRow("applied at once") << false;
        QTest::newRow("a local chunk changes first: nothing applied, then fetched instead") << true;
    }

    void apply()
    {
        QFETCH(bool, sourceChanges);
        const QString newLayout = "pack2.bin=Ai small.txt=s data/level.dat=D new/deep/n.dat=E";
        InstalledState state;
        UpdateIndex oldIndex, index;
        QByteArray archive;
        install("pack.bin=A small.txt=s data/level.dat=B extra.dat=C", state, oldIndex);
        alter("player.sav=E");
        publish(treeFrom(newLayout), "new", index, archive);
        // Hidden files are the update's own bookkeeping.
        auto visible = [this] {
            Tree tree = treeOf(game);
            tree.removeIf([](const auto& item) { return item.key().startsWith('.'); });
            return tree;
        };
        struct stat kept;
        QCOMPARE(::stat(QFile::encodeName(game + "/small.txt"), &kept), 0);

        GameFolder folder;
        QVERIFY(folder.open(game));
        UpdatePlan plan;
        QVERIFY(planUpdate(index, folder, &state, nullptr, PlanOptions(), plan));
        QCOMPARE(plan.removals.size(), size_t(2));
        QCOMPARE(plan.removals[0].path, QString("extra.dat"));
        QCOMPARE(plan.removals[1].path, QString("pack.bin"));
        ChunkStore store;
        QVERIFY(store.open(folder, index.archiveSize));
        fetchInto(store, plan.fetch, archive);
        if (sourceChanges)
            QVERIFY(writeFile(game + "/pack.bin", content("A~")));
        const Tree before = visible();

        AssemblyFailure failure;
        QString error;
        for (int attempt = 0;; ++attempt) {
            StagedUpdate staged;
            QVERIFY(staged.open(game));
            if (applyPlan(plan, index, folder, store, staged, state, &failure, &error))
                break;
            // Only the changed source fails; its chunks are fetched instead.
            QVERIFY2(sourceChanges && attempt < 20, qPrintable(error));
            QCOMPARE(int(failure.kind), int(AssemblyFailure::Kind::LocalChunk));
            QCOMPARE(plan.files[size_t(failure.file)].path, QString("pack2.bin"));
            QCOMPARE(visible(), before);
            const ByteRange range =
                fetchInstead(plan.files[size_t(failure.file)].chunks[size_t(failure.chunk)]);
            fetchInto(store, {range}, archive);
        }
        QVERIFY2(error.isEmpty(), qPrintable(error));
        Tree after = treeFrom(newLayout);
        after.insert("player.sav", content("E"));
        after.insert("data", kDir);
        after.insert("new", kDir);
        after.insert("new/deep", kDir);
        if (sourceChanges) // the player's changed copy of a dropped file stays
            after.insert("pack.bin", content("A~"));
        QCOMPARE(visible().keys(), after.keys());
        QCOMPARE(visible(), after);
        struct stat now;
        QCOMPARE(::stat(QFile::encodeName(game + "/small.txt"), &now), 0);
        QCOMPARE(GameFolder::mtimeNs(now), GameFolder::mtimeNs(kept));

        // Recorded: the next update finds everything in place without reading a byte.
        InstalledState loaded;
        QVERIFY(loaded.load(folder));
        UpdatePlan next;
        QVERIFY(planUpdate(index, folder, &loaded, nullptr, PlanOptions(), next));
        QCOMPARE(next.stats.filesUnchanged, 4);
        QCOMPARE(next.stats.bytesRead, qint64(0));
        QVERIFY(next.fetch.empty() && next.removals.empty());
    }

    void progress_data()
    {
        QTest::addColumn<int>("cancelAfter"); // calls; 0: never
        QTest::newRow("reported to the end") << 0;
        QTest::newRow("cancelled") << 2;
    }

    void progress()
    {
        QFETCH(int, cancelAfter);
        InstalledState state;
        UpdateIndex oldIndex, index;
        QByteArray archive;
        install("a=A b=B c=C d=D", state, oldIndex);
        publish(treeFrom("a=A b=B c=C d=D"), "new", index, archive);
        GameFolder folder;
        QVERIFY(folder.open(game));
        PlanOptions options;
        options.repair = true;
        QList<QPair<qint64, qint64>> calls;
        options.progress = [&](qint64 done, qint64 total) {
            calls.append({done, total});
            return calls.size() != cancelAfter;
        };
        UpdatePlan plan;
        QString error;
        QCOMPARE(planUpdate(index, folder, &state, nullptr, options, plan, &error),
                 cancelAfter == 0);
        const qint64 total =
            content("A").size() + content("B").size() + content("C").size() + content("D").size();
        // The total before anything is read, then once per file (none is over one block).
        QCOMPARE(calls.size(), cancelAfter ? cancelAfter : 5);
        QCOMPARE(calls.first().first, qint64(0));
        for (int i = 0; i < calls.size(); ++i) {
            QCOMPARE(calls[i].second, total);
            if (i > 0)
                QVERIFY(calls[i].first > calls[i - 1].first);
        }
        if (cancelAfter) {
            QCOMPARE(error, QString("Cancelled"));
            QVERIFY(plan.files.empty());
        } else {
            QCOMPARE(calls.last().first, total);
            QCOMPARE(plan.stats.filesUnchanged, 4);
        }
    }

    void refusedIndex_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("why");
        row("a path twice", "twice", "The index lists a twice");
        row("a path leaving the folder", "escape", "The index names an unsafe path: ../a");
        row("the updater's own file", "own",
            "The index names a file the updater keeps for itself: .update.vt.chunks");
        row("a chunk missing", "gap", "The index's chunks do not cover a");
        row("a chunk past the archive", "past", "The index has a bad chunk in a");
        row("a chunk too long for memory", "long", "The index has a bad chunk in a");
    }

    void refusedIndex()
    {
        QFETCH(QString, damage);
        QFETCH(QString, why);
        UpdateIndex index;
        QByteArray archive;
        publish(treeFrom("a=A b=B"), "new", index, archive);
        IndexEntry& a = index.entries[index.entries.size() - 2];
        QCOMPARE(a.path, QString("a"));
        if (damage == "twice")
            index.entries.back().path = "a";
        else if (damage == "escape")
            a.path = "../a";
        else if (damage == "own")
            a.path = ChunkStore::fileName();
        else if (damage == "gap")
            a.chunks.pop_back();
        else if (damage == "past")
            index.archiveSize = a.chunks.back().offset + 1;
        else if (damage == "long")
            a.chunks = {IndexChunk{a.dataOffset, qint32(a.size), a.chunks[0].hash}};
        GameFolder folder;
        QVERIFY(folder.open(game));
        UpdatePlan plan;
        QString error;
        QVERIFY(!planUpdate(index, folder, nullptr, nullptr, PlanOptions(), plan, &error));
        QCOMPARE(error, why);
    }

    void storePlanted_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::newRow("symbolic link") << "link";
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("longer store of another archive") << "long";
    }

    void storePlanted()
    {
        QFETCH(QString, planted);
        const QByteArray path = QFile::encodeName(game + '/' + ChunkStore::fileName());
        QVERIFY(writeFile(outside + "/victim", "keep"));
        if (planted == "link")
            QCOMPARE(::symlink(QFile::encodeName(outside + "/victim"), path), 0);
        else if (planted == "fifo")
            QCOMPARE(::mkfifo(path, 0666), 0);
        else
            QVERIFY(writeFile(game + '/' + ChunkStore::fileName(), QByteArray(100, 'x')));
        GameFolder folder;
        QVERIFY(folder.open(game));
        ChunkStore store;
        QString error;
        QVERIFY2(store.open(folder, 50, &error), qPrintable(error));
        QVERIFY(store.write(10, "data", 4));
        QVERIFY(!store.write(48, "data", 4)); // past the archive
        QVERIFY(store.holds(10, 4, ContentChunks::hash("data", 4)));
        QVERIFY(!store.holds(20, 4, ContentChunks::hash("data", 4)));
        QCOMPARE(readFile(outside + "/victim"), QByteArray("keep"));
        const QByteArray stored = readFile(game + '/' + ChunkStore::fileName());
        QCOMPARE(stored.size(), planted == "long" ? 50 : 14);
        QCOMPARE(stored.mid(10),
                 planted == "long" ? "data" + QByteArray(36, 'x') : QByteArray("data"));
    }

    void stateFile_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("why");
        row("intact", "", "");
        row("truncated", "truncate", "checksum mismatch");
        row("flipped byte", "flip", "checksum mismatch");
        row("foreign file", "magic", "not a state file");
        row("newer version", "version", "unknown version 3");
        // Its chunks were cut otherwise: no record, so every file is read again.
        row("previous version", "old version", "unknown version 1");
        row("huge chunk count", "count", "truncated record");
        row("path leaving the folder", "path", "unsafe path");
        row("symbolic link", "link", ".update.installed is not a regular file");
        row("FIFO", "fifo", ".update.installed is not a regular file");
    }

    void stateFile()
    {
        QFETCH(QString, damage);
        QFETCH(QString, why);
        InstalledState state;
        UpdateIndex oldIndex;
        install("a/b.dat=B zz.dat=s", state, oldIndex);
        const QString path = game + '/' + InstalledState::fileName();
        QByteArray bytes = readFile(path);
        QCOMPARE(bytes, state.serialize());
        // Changes behind a valid checksum, so that the checks behind it are what refuses.
        auto resealed = [](QByteArray body) {
            body.chop(32);
            return body + ContentChunks::hash(body.constData(), body.size());
        };
        const int firstName = 8 + 4 + 8 + 4 + 64 + 4 + 4;
        if (damage == "truncate")
            bytes.chop(1);
        else if (damage == "flip")
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 1);
        else if (damage == "magic")
            bytes = resealed(bytes.replace(0, 2, "XX"));
        else if (damage == "version")
            bytes = resealed(bytes.replace(8, 4, QByteArray("\3\0\0\0", 4)));
        else if (damage == "old version")
            bytes = resealed(bytes.replace(8, 4, QByteArray("\1\0\0\0", 4)));
        else if (damage == "count") // a.dat's chunk count
            bytes =
                resealed(bytes.replace(firstName + 7 + 16, 4, QByteArray("\xff\xff\xff\x0f", 4)));
        else if (damage == "path")
            bytes = resealed(bytes.replace(firstName, 7, "../b.da"));
        if (damage == "link" || damage == "fifo") {
            QVERIFY(QFile::remove(path));
            QVERIFY(writeFile(outside + "/state", bytes));
            QCOMPARE(damage == "link"
                         ? ::symlink(QFile::encodeName(outside + "/state"), QFile::encodeName(path))
                         : ::mkfifo(QFile::encodeName(path), 0666),
                     0);
        } else {
            QVERIFY(writeFile(path, bytes));
        }
        GameFolder folder;
        QVERIFY(folder.open(game));
        InstalledState loaded;
        QString error;
        QCOMPARE(loaded.load(folder, &error), why.isEmpty());
        QVERIFY2(why.isEmpty() ? error.isEmpty() : error.endsWith(why), qPrintable(error));
        if (why.isEmpty()) {
            QCOMPARE(loaded.serialize(), state.serialize());
            QCOMPARE(loaded.files.at("a/b.dat").chunks.size(), chunksOf(content("B")).size());
        } else {
            QVERIFY(loaded.files.empty());
        }
        // Saving replaces whatever was planted, never writing through it.
        QVERIFY(state.save(folder, &error));
        QCOMPARE(readFile(path), state.serialize());
        if (damage == "link")
            QCOMPARE(readFile(outside + "/state"), bytes);
    }

    void rangeMerging_data()
    {
        QTest::addColumn<QString>("ranges");
        QTest::addColumn<qint64>("gap");
        QTest::addColumn<QString>("merged");
        QTest::newRow("touching") << "0+10 10+5" << qint64(0) << "0+15";
        QTest::newRow("gap too wide") << "0+10 12+5" << qint64(1) << "0+10 12+5";
        QTest::newRow("gap just merged") << "0+10 12+5" << qint64(2) << "0+17";
        QTest::newRow("unsorted, overlapping")
            << "50+10 0+10 5+10 55+2" << qint64(0) << "0+15 50+10";
        QTest::newRow("empty ranges dropped") << "3+0 7+1" << qint64(100) << "7+1";
    }

    void rangeMerging()
    {
        QFETCH(QString, ranges);
        QFETCH(qint64, gap);
        QFETCH(QString, merged);
        std::vector<ByteRange> in;
        for (const QString& item : ranges.split(' '))
            in.push_back(
                ByteRange{item.section('+', 0, 0).toLongLong(), item.section('+', 1).toLongLong()});
        QStringList out;
        for (const ByteRange& range : ::mergeRanges(in, gap))
            out << QString("%1+%2").arg(range.offset).arg(range.length);
        QCOMPARE(out.join(' '), merged);
    }

    void requestGroups_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("limit");
        QTest::newRow("one range") << 1 << 8192;
        QTest::newRow("thousands of ranges, nginx's limit") << 3000 << 8192;
        QTest::newRow("a tight limit") << 200 << 60;
    }

    void requestGroups()
    {
        QFETCH(int, count);
        QFETCH(int, limit);
        std::vector<ByteRange> ranges;
        for (int i = 0; i < count; ++i)
            ranges.push_back(ByteRange{qint64(i) * 700001 + 3 * 1000000000LL, 1 + i % 9000});
        const auto groups = groupRangesForRequests(ranges, limit);
        std::vector<ByteRange> joined;
        for (size_t g = 0; g < groups.size(); ++g) {
            const qsizetype line = ("Range: " + rangeHeaderValue(groups[g]) + "\r\n").size();
            QVERIFY(line <= limit);
            // Full: the next range would not have fitted.
            if (g + 1 < groups.size()) {
                std::vector<ByteRange> more = groups[g];
                more.push_back(groups[g + 1].front());
                QVERIFY(("Range: " + rangeHeaderValue(more) + "\r\n").size() > limit);
            }
            joined.insert(joined.end(), groups[g].begin(), groups[g].end());
        }
        QVERIFY(joined == ranges);
        QCOMPARE(rangeHeaderValue({ByteRange{100, 100}, ByteRange{300, 1}}),
                 QByteArray("bytes=100-199,300-300"));
    }
};

QTEST_GUILESS_MAIN(TestPlan)
#include "tst_plan.moc"
