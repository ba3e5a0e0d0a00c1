#include "ArchiveBytes.h"
#include "TestFiles.h"
#include "UpdateIndex.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using namespace ArchiveBytes;
using ContentChunks::kSizes;

namespace {

QByteArray sha256(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

// The chunks of data fed to a Chunker in pieces of the given size.
std::vector<IndexChunk> chunksOf(const QByteArray& data, qsizetype piece)
{
    std::vector<IndexChunk> chunks;
    ContentChunks::Chunker chunker([&chunks](qint64 offset, qint32 length, const QByteArray& hash) {
        chunks.push_back(IndexChunk{offset, length, hash});
    });
    for (qsizetype at = 0; at < data.size(); at += piece)
        chunker.add(data.constData() + at, qMin(piece, data.size() - at));
    chunker.finish();
    return chunks;
}

QString describe(const std::vector<IndexChunk>& chunks)
{
    QStringList parts;
    for (const IndexChunk& chunk : chunks)
        parts << QStringLiteral("%1+%2:%3")
                     .arg(chunk.offset)
                     .arg(chunk.length)
                     .arg(QString::fromLatin1(chunk.hash.toHex().left(8)));
    return parts.join(' ');
}

// Every field, as one text that shows where two indexes differ.
QString describe(const UpdateIndex& index)
{
    QStringList lines{QStringLiteral("size %1 digest %2")
                          .arg(index.archiveSize)
                          .arg(QString::fromLatin1(index.archiveDigest.toHex()))};
    for (const IndexEntry& entry : index.entries)
        lines << QStringLiteral("%1 @%2 %3 data @%4 +%5 [%6]")
                     .arg(int(entry.type))
                     .arg(entry.offset)
                     .arg(entry.path)
                     .arg(entry.dataOffset)
                     .arg(entry.size)
                     .arg(describe(entry.chunks));
    return lines.join('\n');
}

// The index format written out by hand, for inputs serialize() would never make.
QByteArray varint(quint64 value)
{
    QByteArray out;
    for (; value >= 0x80; value >>= 7)
        out.append(char(0x80 | (value & 0x7F)));
    return out.append(char(value));
}

QByteArray le(quint64 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out.append(char(value >> (8 * i)));
    return out;
}

QByteArray indexHeader(quint64 archiveSize, quint32 version = UpdateIndex::formatVersion,
                       const QByteArray& magic = "VTIX")
{
    return magic + le(version, 4) + le(archiveSize, 8) + QByteArray(64, '\x5a');
}

QByteArray fileEntry(quint64 gap, const QByteArray& path, quint64 size,
                     const QList<quint64>& lengths, quint64 slack = 0)
{
    QByteArray out = QByteArray(1, '\3') + varint(gap) + varint(path.size()) + path +
                     varint(slack) + varint(size) + varint(lengths.size());
    for (quint64 length : lengths)
        out += varint(length) + QByteArray(32, '\x11');
    return out;
}

} // namespace

class TestIndex : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp;

private slots:
    void chunker_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("minChunks"); // what the data must at least be cut into
        QTest::newRow("random 3 MiB") << randomBytes(3 << 20, 1) << 3 * 1024 / 256;
        // A constant stream never matches the masks: every cut is forced at the maximum.
        QTest::newRow("zeros 1 MiB + 5") << QByteArray((1 << 20) + 5, '\0') << 5;
        QTest::newRow("shorter than the minimum") << randomBytes(kSizes.min - 1, 2) << 1;
        QTest::newRow("empty") << QByteArray() << 0;
    }

    void chunker()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, minChunks);
        const std::vector<IndexChunk> whole = chunksOf(data, qMax<qsizetype>(data.size(), 1));
        QVERIFY(int(whole.size()) >= minChunks);
        qint64 at = 0;
        for (size_t i = 0; i < whole.size(); ++i) {
            const IndexChunk& chunk = whole[i];
            QCOMPARE(chunk.offset, at);
            QVERIFY2(chunk.length <= kSizes.max, qPrintable(describe(whole)));
            if (i + 1 < whole.size())
                QVERIFY2(chunk.length >= kSizes.min, qPrintable(describe(whole)));
            QCOMPARE(chunk.hash, sha256(data.mid(chunk.offset, chunk.length)));
            at += chunk.length;
        }
        QCOMPARE(at, data.size());
        // The same cuts however the stream is fed.
        for (qsizetype piece : {1, 7, 4093, 65536 + 3, 1 << 20}) {
            if (piece == 1 && data.size() > (1 << 20))
                continue; // byte by byte on one of the shorter rows is enough
            QCOMPARE(describe(chunksOf(data, piece)), describe(whole));
        }
    }

    void edits_data()
    {
        QTest::addColumn<qsizetype>("at");
        QTest::addColumn<qsizetype>("removed");
        QTest::addColumn<QByteArray>("inserted");
        QTest::newRow("1-byte insertion") << qsizetype(2 << 20) << qsizetype(0) << QByteArray("x");
        QTest::newRow("4 KiB overwrite")
            << qsizetype(2 << 20) << qsizetype(4096) << randomBytes(4096, 9);
        QTest::newRow("deletion near the start")
            << qsizetype(100) << qsizetype(777) << QByteArray();
    }

    void edits()
    {
        QFETCH(qsizetype, at);
        QFETCH(qsizetype, removed);
        QFETCH(QByteArray, inserted);
        const QByteArray before = randomBytes(4 << 20, 3);
        const QByteArray after = QByteArray(before).replace(at, removed, inserted);
        const auto old = chunksOf(before, 1 << 20), now = chunksOf(after, 1 << 20);
        const qint64 shift = inserted.size() - removed;
        // Past the edit, boundaries move with the bytes: every chunk that starts
        // a maximum length after it is an old chunk, shifted.
        QSet<QString> oldChunks;
        for (const IndexChunk& chunk : old)
            oldChunks << QStringLiteral("%1 %2").arg(chunk.offset + shift).arg(chunk.length) +
                             chunk.hash.toHex();
        int changed = 0;
        for (const IndexChunk& chunk : now) {
            const bool known =
                chunk.offset + chunk.length <= at
                    ? std::any_of(old.begin(), old.end(),
                                  [&](const IndexChunk& o) {
                                      return o.offset == chunk.offset && o.hash == chunk.hash;
                                  })
                    : oldChunks.contains(
                          QStringLiteral("%1 %2").arg(chunk.offset).arg(chunk.length) +
                          chunk.hash.toHex());
            if (!known) {
                ++changed;
                QVERIFY2(chunk.offset < at + inserted.size() + kSizes.max,
                         qPrintable(QStringLiteral("chunk at %1 changed").arg(chunk.offset)));
            }
        }
        QVERIFY2(changed >= 1 && changed <= 2, qPrintable(QString::number(changed)));
    }

    void build_data()
    {
        QTest::addColumn<QByteArray>("archive");
        // Per entry "type path size"; files are checked against the archive's bytes.
        QTest::addColumn<QStringList>("entries");
        const QByteArray big = randomBytes(600 * 1024, 4);
        QTest::newRow("all entry types")
            << version("1.2") + directory("d") + file("d/big", big) + file("d/empty", "") +
                   directory("e/f") + file("short", "hello")
            << QStringList{"0 1.2 0",     "1 d 0",   "3 d/big 614400",
                           "3 d/empty 0", "1 e/f 0", "3 short 5"};
        // The reader ends a name at a zero byte and reads a negative length as none.
        QTest::newRow("zero in a name, negative lengths")
            << entry(0, "", -3) + entry(3, QByteArray("n\0tail", 6)) + entry(2, "", -1) +
                   file("m", big.left(kSizes.max + 1))
            << QStringList{"0  0", "3 n 0", "3 m 262145"};
        QTest::newRow("empty archive") << QByteArray() << QStringList();
    }

    void build()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QStringList, entries);
        const QString path = tmp.filePath("build.vt");
        QVERIFY(writeFile(path, archive));
        UpdateIndex index;
        QString why;
        QVERIFY2(UpdateIndex::build(path, index, &why), qPrintable(why));
        QCOMPARE(index.archiveSize, archive.size());
        QCOMPARE(index.archiveDigest,
                 QCryptographicHash::hash(archive, QCryptographicHash::Blake2b_512));
        QStringList got;
        qint64 end = 0;
        for (const IndexEntry& entry : index.entries) {
            got << QStringLiteral("%1 %2 %3").arg(int(entry.type)).arg(entry.path).arg(entry.size);
            // Entries back to back; each header's type at its offset.
            QCOMPARE(entry.offset, end);
            QCOMPARE(VessariFormat::decodeHeader(archive.constData() + entry.offset).type,
                     qint32(entry.type));
            end = entry.offset + 8 +
                  qMax(0, VessariFormat::decodeHeader(archive.constData() + entry.offset).length);
            if (entry.type != VessariFormat::EntryType::File)
                continue;
            QCOMPARE(entry.dataOffset, end + 8);
            end = entry.dataOffset + entry.size;
            qint64 at = entry.dataOffset;
            for (const IndexChunk& chunk : entry.chunks) {
                QCOMPARE(chunk.offset, at);
                QCOMPARE(chunk.hash, sha256(archive.mid(chunk.offset, chunk.length)));
                at += chunk.length;
            }
            QCOMPARE(at, end);
        }
        QCOMPARE(end, archive.size());
        QCOMPARE(got, entries);

        // Written and read back unchanged, and the same bytes every time.
        const QByteArray bytes = index.serialize();
        UpdateIndex parsed;
        QVERIFY2(UpdateIndex::parse(bytes, parsed, &why), qPrintable(why));
        QCOMPARE(describe(parsed), describe(index));
        for (qsizetype cut = 0; cut < bytes.size(); ++cut)
            QVERIFY2(!UpdateIndex::parse(bytes.left(cut), parsed),
                     qPrintable(QString::number(cut)));
        UpdateIndex again;
        QVERIFY(UpdateIndex::build(path, again));
        QCOMPARE(again.serialize(), bytes);
    }

    void buildRefuses_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QString>("why");
        QTest::newRow("unknown type")
            << directory("d") + entry(7, "") << "at byte 9: Uknown entry type in archive: 7";
        QTest::newRow("stray bytes") << directory("d") + "abc"
                                     << "at byte 9: Error reading from archive";
        QTest::newRow("data cut short")
            << entry(3, "f") + entry(2, "abc", 10) << "at byte 0: Error reading from archive";
        QTest::newRow("no data entry") << entry(3, "f") + version("1")
                                       << "Expecting a file data entry.  Read this type instead: 0";
        QTest::newRow("escape") << file("../x", "1")
                                << "Refusing a path that leads outside the target directory: ../x";
        QTest::newRow("empty directory name") << directory("") << "at byte 0: empty name";
        QTest::newRow("negative name")
            << entry(1, "", -1) << "Directory name has a negative length: -1";
        QTest::newRow("name too long")
            << file(QByteArray(16385, 'n'), "") << "File name is too long";
    }

    void buildRefuses()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QString, why);
        const QString path = tmp.filePath("broken.vt");
        QVERIFY(writeFile(path, archive));
        UpdateIndex index;
        index.archiveSize = 42;
        QString got;
        QVERIFY(!UpdateIndex::build(path, index, &got));
        QVERIFY2(got.startsWith(path + ": ") && got.endsWith(why), qPrintable(got));
        QCOMPARE(index.archiveSize, 42); // untouched
        QVERIFY(!UpdateIndex::build(tmp.filePath("missing.vt"), index, &got));
        QVERIFY2(got.endsWith("No such file or directory"), qPrintable(got));
    }

    void parseRefuses_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("why");
        // One file of 20 bytes in a 40-byte archive at offset 0: data from 16 + 4 = 20.
        const QByteArray good = indexHeader(40) + varint(1) + fileEntry(0, "abcd", 20, {8, 12});
        UpdateIndex index;
        QVERIFY(UpdateIndex::parse(good, index));
        QCOMPARE(index.entries.at(0).chunks.at(1).offset, 28);

        QTest::newRow("empty") << QByteArray() << "too short for an index (0 bytes)";
        QTest::newRow("truncated header") << good.left(79) << "too short";
        QTest::newRow("no room for the entry") << good.left(82) << "entry count 1 larger than 0";
        QTest::newRow("truncated path") << good.left(86) << "path length 4 larger than 3";
        QTest::newRow("truncated sizes") << good.left(90) << "truncated in chunk count";
        QTest::newRow("no room for the chunks") << good.left(120) << "chunk count 2 larger than 0";
        QTest::newRow("truncated hash") << good.left(156) << "truncated in chunk hash";
        QTest::newRow("bad magic")
            << indexHeader(40, 1, "VTIY") + good.mid(80) << "not an update index";
        QTest::newRow("bad version")
            << indexHeader(40, 3) + good.mid(80) << "unsupported index version 3";
        // Cut at level 2, its chunks would not match the files': the whole archive instead.
        QTest::newRow("previous version, other chunking")
            << indexHeader(40, 1) + good.mid(80)
            << "unsupported index version 1 (this program reads version 2)";
        QTest::newRow("trailing byte") << good + "x"
                                       << "1 bytes after the last entry";
        QTest::newRow("chunks short of the size")
            << indexHeader(41) + varint(1) + fileEntry(0, "abcd", 21, {8, 12})
            << "entry 1: chunks of abcd cover 20 of its 21 bytes";
        QTest::newRow("chunks past the size")
            << indexHeader(40) + varint(1) + fileEntry(0, "abcd", 19, {8, 12})
            << "chunks of abcd run past its size";
        QTest::newRow("empty chunk")
            << indexHeader(40) + varint(1) + fileEntry(0, "abcd", 8, {8, 0})
            << "empty chunk in abcd";
        QTest::newRow("chunk over the maximum")
            << indexHeader(1 << 20) + varint(1) +
                   fileEntry(0, "abcd", kSizes.max + 1, {quint64(kSizes.max) + 1})
            << "chunk length 262145 larger than 262144";
        QTest::newRow("data past the archive")
            << indexHeader(39) + good.mid(80) << "file abcd ends past the archive";
        QTest::newRow("gap past the archive")
            << indexHeader(40) + varint(1) + fileEntry(41, "abcd", 0, {})
            << "entry gap 41 larger than 40";
        QTest::newRow("second entry overlaps the end")
            << indexHeader(40) + varint(2) + fileEntry(0, "abcd", 20, {8, 12}) +
                   QByteArray(1, '\1') + varint(0) + varint(1) + "d"
            << "entry 2: entry d ends past the archive";
        QTest::newRow("huge entry count")
            << indexHeader(40) + varint(quint64(1) << 62) + good.mid(81)
            << "entry count 4611686018427387904 larger than";
        QTest::newRow("huge chunk count")
            << indexHeader(40) + varint(1) + fileEntry(0, "abcd", 20, {}).chopped(1) +
                   varint(1 << 30)
            << "chunk count 1073741824 larger than";
        QTest::newRow("varint of ten bytes")
            << indexHeader(40) + varint(1) + QByteArray(1, '\3') + QByteArray(9, '\xff') + '\1'
            << "entry gap too large";
        QTest::newRow("varint not minimal")
            << indexHeader(40) + QByteArray("\x81\x00", 2) + good.mid(81)
            << "entry count not minimally encoded";
        QTest::newRow("file data type")
            << indexHeader(40) + varint(1) + QByteArray("\2\0\0", 3) << "unknown entry type 2";
        QTest::newRow("unsafe path") << indexHeader(40) + varint(1) + fileEntry(0, "../x", 0, {})
                                     << "unsafe or empty path at offset 0: ../x";
        QTest::newRow("empty path")
            << indexHeader(40) + varint(1) + fileEntry(0, "", 0, {}) << "unsafe or empty path";
        QTest::newRow("zero in a path")
            << indexHeader(40) + varint(1) + fileEntry(0, QByteArray("a\0b", 3), 0, {})
            << "path with a zero byte";
        QTest::newRow("archive size over 2^63")
            << indexHeader(quint64(1) << 63) + varint(0) << "archive size out of range";
    }

    void parseRefuses()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, why);
        UpdateIndex index;
        index.archiveSize = 42;
        QString got;
        QVERIFY(!UpdateIndex::parse(bytes, index, &got));
        QVERIFY2(got.contains(why), qPrintable(got));
        QCOMPARE(index.archiveSize, 42); // untouched
    }

    void chunkFile()
    {
        // The chunks of a file on disk are those of the same bytes in an archive.
        const QByteArray data = randomBytes(700 * 1024, 5);
        const QString archive = tmp.filePath("one.vt"), local = tmp.filePath("local.bin");
        QVERIFY(writeFile(archive, directory("x") + file("x/y", data)) && writeFile(local, data));
        UpdateIndex index;
        QVERIFY(UpdateIndex::build(archive, index));
        const IndexEntry& entry = index.entries.at(1);
        std::vector<IndexChunk> chunks;
        QString why;
        QVERIFY2(ContentChunks::chunkFile(local, chunks, &why), qPrintable(why));
        QVERIFY(chunks.size() > 2);
        for (IndexChunk& chunk : chunks)
            chunk.offset += entry.dataOffset;
        QCOMPARE(describe(chunks), describe(entry.chunks));

        // Only a regular file itself is read.
        const QString fifo = tmp.filePath("fifo"), link = tmp.filePath("link");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo), 0600), 0);
        QVERIFY(QFile::link(local, link));
        for (const auto& [path, reason] :
             {std::pair{fifo, QString("not a regular file")},
              std::pair{link, QString("Too many levels of symbolic links")},
              std::pair{tmp.filePath("none"), QString("No such file or directory")},
              std::pair{tmp.path(), QString("not a regular file")}}) {
            QVERIFY(!ContentChunks::chunkFile(path, chunks, &why));
            QCOMPARE(why, path + ": " + reason);
            QVERIFY(chunks.empty());
        }
    }
};

QTEST_GUILESS_MAIN(TestIndex)
#include "tst_index.moc"
