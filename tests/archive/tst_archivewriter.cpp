#include "ArchiveBytes.h"
#include "ArchiveWriter.h"
#include "TreeUtil.h"
#include "VessariTar.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

class TestArchiveWriter : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> tmp;
    QString source() const { return tmp->filePath(QStringLiteral("src")); }
    QString archive() const { return tmp->filePath(QStringLiteral("out.vt")); }

    static QByteArray contents(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    static QByteArray noise(int size, quint32 seed)
    {
        QRandomGenerator random(seed);
        QByteArray bytes(size, Qt::Uninitialized);
        for (char& c : bytes)
            c = char(random.bounded(256));
        return bytes;
    }

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
        QVERIFY(QDir().mkpath(source()));
    }

    void roundTrip_data();
    void roundTrip();
    void exactBytes();
    void sameTreeSameBytes();
    void refusals_data();
    void refusals();
    void sourceShorterThanAnnounced();
};

void TestArchiveWriter::roundTrip_data()
{
    QTest::addColumn<Tree>("tree");
    QTest::newRow("empty") << Tree();
    QTest::newRow("nested with empty directories")
        << Tree{{"a", kDir},       {"a/b", kDir},   {"a/b/c", kDir},
                {"a/b/f", "deep"}, {"empty", kDir}, {"top", "1"}};
    QTest::newRow("empty files") << Tree{{"e", ""}, {"d", kDir}, {"d/e", ""}};
    QTest::newRow("hidden, latin-1 and odd names")
        << Tree{{".hidden", "h"},
                {QString::fromUtf8("caf\u00E9"), kDir},
                {QString::fromUtf8("caf\u00E9/\u00FF\u00A0 x.txt"), "l"},
                {"with space", "s"},
                {"back\\slash", "b"}};
    QTest::newRow("binary over many chunks")
        << Tree{{"blob", noise(700000, 1)}, {"small", noise(17, 2)}};
    Tree many;
    for (int i = 0; i < 300; ++i)
        many.insert(QStringLiteral("d%1/f%2").arg(i % 7).arg(i), noise(i, quint32(i)));
    for (int i = 0; i < 7; ++i)
        many.insert(QStringLiteral("d%1").arg(i), kDir);
    QTest::newRow("many files") << many;
}

void TestArchiveWriter::roundTrip()
{
    QFETCH(Tree, tree);
    makeTree(source(), tree);
    QString error;
    QVERIFY2(packDirectory(source(), archive(), PackOptions(), &error), qPrintable(error));

    const QString out = tmp->filePath(QStringLiteral("extracted"));
    QVERIFY(QDir().mkpath(out));
    VessariTar reader;
    QVERIFY(reader.extract(archive(), out));
    QCOMPARE(treeOf(out), tree);
}

void TestArchiveWriter::exactBytes()
{
    makeTree(source(), {{"b", "2"}, {"a", kDir}, {"a/z", ""}, {"A", "1"}, {"a.txt", "t"}});
    PackOptions options;
    options.withVersion = true;
    options.version = QStringLiteral("v1");
    QString error;
    QVERIFY2(packDirectory(source(), archive(), options, &error), qPrintable(error));
    using namespace ArchiveBytes;
    // Version first; names in byte order; a directory's contents right after it.
    QCOMPARE(contents(archive()), version("v1") + file("A", "1") + directory("a") +
                                      file("a/z", "") + file("a.txt", "t") + file("b", "2"));
}

void TestArchiveWriter::sameTreeSameBytes()
{
    const Tree tree{{"x", kDir}, {"x/1", "one"}, {"y", "why"}, {"z", kDir}, {"z/q", "q"}};
    makeTree(source(), tree);
    // The same tree made in another order, so directory order on disk differs.
    const QString second = tmp->filePath(QStringLiteral("src2"));
    for (auto it = tree.constEnd(); it != tree.constBegin();) {
        --it;
        makeTree(second, Tree{{it.key(), it.value()}});
    }
    const QString archive2 = tmp->filePath(QStringLiteral("out2.vt"));
    QString error;
    QVERIFY(packDirectory(source(), archive(), PackOptions(), &error));
    QVERIFY(packDirectory(second, archive2, PackOptions(), &error));
    QCOMPARE(contents(archive2), contents(archive()));
    // Packing again over an existing archive replaces it with the same bytes.
    const QByteArray first = contents(archive());
    QVERIFY(packDirectory(source(), archive(), PackOptions(), &error));
    QCOMPARE(contents(archive()), first);
}

void TestArchiveWriter::refusals_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("symbolic link") << "symlink"
                                   << "symbolic links are not supported: sub/link";
    QTest::newRow("fifo") << "fifo"
                          << "not a regular file or directory: sub/fifo";
    QTest::newRow("name outside latin-1")
        << "unicode" << QString::fromUtf8("name not representable in Latin-1: sub/\u0436");
    QTest::newRow("file of 2 GiB") << "huge"
                                   << "file too large (2 GiB or more): sub/huge";
    QTest::newRow("name extraction refuses") << "colon"
                                             << "name that extraction would refuse: a:b";
    QTest::newRow("version outside latin-1") << "version"
                                             << "version text not representable in Latin-1";
    QTest::newRow("output inside") << "inside"
                                   << "is inside the directory being packed";
    QTest::newRow("output inside through a link") << "inside-link"
                                                  << "is inside the directory being packed";
    QTest::newRow("source not a directory") << "not-dir"
                                            << "not a directory: ";
}

void TestArchiveWriter::refusals()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);

    makeTree(source(), {{"a", "first"}, {"sub", kDir}, {"sub/z", "last"}});
    const QString sub = source() + QStringLiteral("/sub/");
    QString dir = source();
    QString output = archive();
    PackOptions options;
    if (kind == QLatin1String("symlink")) {
        QVERIFY(QFile::link(source() + QStringLiteral("/a"), sub + QStringLiteral("link")));
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(sub + QStringLiteral("fifo")).constData(), 0600), 0);
    } else if (kind == QLatin1String("unicode")) {
        makeTree(sub, {{QString::fromUtf8("\u0436"), "x"}});
    } else if (kind == QLatin1String("huge")) {
        QFile huge(sub + QStringLiteral("huge"));
        QVERIFY(huge.open(QIODevice::WriteOnly));
        QVERIFY(huge.resize(qint64(1) << 31)); // sparse: no real disk use
    } else if (kind == QLatin1String("colon")) {
        makeTree(source(), {{"a:b", "x"}});
    } else if (kind == QLatin1String("version")) {
        options.withVersion = true;
        options.version = QString::fromUtf8("\u20AC1");
    } else if (kind == QLatin1String("inside")) {
        output = sub + QStringLiteral("out.vt");
    } else if (kind == QLatin1String("inside-link")) {
        QVERIFY(QFile::link(sub, tmp->filePath(QStringLiteral("alias"))));
        output = tmp->filePath(QStringLiteral("alias/out.vt"));
    } else if (kind == QLatin1String("not-dir")) {
        dir = source() + QStringLiteral("/a");
    }
    // An earlier archive at the output must survive a refused pack.
    if (!output.startsWith(source()) && !output.contains(QLatin1String("alias"))) {
        QFile old(output);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("previous");
    }
    const QStringList besideOutput = QDir(QFileInfo(output).absolutePath()).entryList();

    QString error;
    QVERIFY(!packDirectory(dir, output, options, &error));
    QVERIFY2(error.contains(message), qPrintable(error));
    if (output == archive())
        QCOMPARE(contents(output), QByteArray("previous"));
    else
        QVERIFY(!QFileInfo::exists(output));
    // No temporary file left behind either.
    QCOMPARE(QDir(QFileInfo(output).absolutePath()).entryList(), besideOutput);
}

void TestArchiveWriter::sourceShorterThanAnnounced()
{
    QByteArray sink;
    QBuffer out(&sink);
    QVERIFY(out.open(QIODevice::WriteOnly));
    QByteArray data("abc");
    QBuffer in(&data);
    QVERIFY(in.open(QIODevice::ReadOnly));
    ArchiveWriter writer(&out);
    QVERIFY(!writer.writeFile(QStringLiteral("f"), in, 10));
    QVERIFY(writer.errorString().contains(QLatin1String("could not be read in full")));

    QVERIFY(in.seek(0));
    QVERIFY(!writer.writeFile(QStringLiteral("g"), in, 2));
    QVERIFY(writer.errorString().contains(QLatin1String("changed while packing")));
}

QTEST_APPLESS_MAIN(TestArchiveWriter)
#include "tst_archivewriter.moc"
