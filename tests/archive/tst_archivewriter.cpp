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

    static QByteArray pack(const QString& dir, const QString& output,
                           const PackOptions& options = PackOptions())
    {
        QString error;
        return packDirectory(dir, output, options, &error) ? contents(output)
                                                           : "<failed> " + error.toUtf8();
    }

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
        QVERIFY(QDir().mkpath(source()));
    }

    void roundTrip_data()
    {
        QTest::addColumn<Tree>("tree");
        QRandomGenerator random(1);
        QByteArray blob(700000, Qt::Uninitialized);
        for (char& c : blob)
            c = char(random.bounded(256));
        QTest::newRow("empty") << Tree();
        QTest::newRow("nested, empty directories and files")
            << Tree{{"a", kDir},   {"a/b", kDir},   {"a/b/c", kDir}, {"a/b/f", "deep"},
                    {"a/b/e", ""}, {"empty", kDir}, {"top", "1"}};
        QTest::newRow("hidden, latin-1 and odd names")
            << Tree{{".hidden", "h"},
                    {QString::fromUtf8("caf\u00E9"), kDir},
                    {QString::fromUtf8("caf\u00E9/\u00FF\u00A0 x.txt"), "l"},
                    {"back\\slash", "b"}};
        QTest::newRow("binary over many chunks") << Tree{{"blob", blob}, {"small", "s"}};
    }

    void roundTrip()
    {
        QFETCH(Tree, tree);
        makeTree(source(), tree);
        QVERIFY(!pack(source(), archive()).startsWith("<failed>"));
        const QString out = tmp->filePath(QStringLiteral("extracted"));
        QVERIFY(QDir().mkpath(out));
        VessariTar reader;
        QVERIFY(reader.extract(archive(), out));
        QCOMPARE(treeOf(out), tree);
    }

    void exactBytes()
    {
        // Made in reverse order, so that the order on disk is no help.
        const Tree tree{{"A", "1"}, {"a", kDir}, {"a.txt", "t"}, {"a/z", ""}, {"b", "2"}};
        for (auto it = tree.constEnd(); it != tree.constBegin();) {
            --it;
            makeTree(source(), Tree{{it.key(), it.value()}});
        }
        PackOptions options;
        options.withVersion = true;
        options.version = QStringLiteral("v1");
        using namespace ArchiveBytes;
        // Version first; names in byte order; a directory's contents right after it.
        const QByteArray expected = version("v1") + file("A", "1") + directory("a") +
                                    file("a/z", "") + file("a.txt", "t") + file("b", "2");
        QCOMPARE(pack(source(), archive(), options), expected);
        // Packing again over the archive replaces it with the same bytes.
        QCOMPARE(pack(source(), archive(), options), expected);
    }

    void refusals_data()
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
        QTest::newRow("output inside through a link") << "inside-link"
                                                      << "is inside the directory being packed";
        QTest::newRow("source not a directory") << "not-dir"
                                                << "/a: Not a directory";
    }

    void refusals()
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
            QCOMPARE(::mkfifo(QFile::encodeName(sub + QStringLiteral("fifo")).constData(), 0600),
                     0);
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
        } else if (kind == QLatin1String("inside-link")) {
            QVERIFY(QFile::link(sub, tmp->filePath(QStringLiteral("alias"))));
            output = tmp->filePath(QStringLiteral("alias/out.vt"));
        } else if (kind == QLatin1String("not-dir")) {
            dir = source() + QStringLiteral("/a");
        }
        // An earlier archive at the output must survive a refused pack.
        if (output == archive())
            makeTree(tmp->path(), {{"out.vt", "previous"}});
        const QStringList besideOutput = QDir(QFileInfo(output).absolutePath()).entryList();

        const QByteArray result = pack(dir, output, options);
        QVERIFY2(result.startsWith("<failed> ") && result.contains(message.toUtf8()),
                 result.constData());
        QCOMPARE(contents(output), output == archive() ? "previous" : "<missing>");
        // No temporary file left behind either.
        QCOMPARE(QDir(QFileInfo(output).absolutePath()).entryList(), besideOutput);
    }

    void sourceShorterOrLongerThanAnnounced()
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
};

QTEST_APPLESS_MAIN(TestArchiveWriter)
#include "tst_archivewriter.moc"
