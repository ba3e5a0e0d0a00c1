#include "ArchiveBytes.h"
#include "ArchiveWriter.h"
#include "TestFiles.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using namespace ArchiveBytes;

class TestArchiveWriter : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> tmp;
    QString source() const { return tmp->filePath("src"); }
    QString archive() const { return tmp->filePath("out.vt"); }

    static QByteArray pack(const QString& dir, const QString& output, const PackOptions& options)
    {
        QString error;
        return packDirectory(dir, output, options, &error) ? readFile(output)
                                                           : "<failed> " + error.toUtf8();
    }

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
        QVERIFY(QDir().mkpath(source()));
    }

    void exactBytes()
    {
        const QByteArray blob = bytePattern(700000); // over many copy chunks
        const QString latin1 = QString::fromUtf8("caf\u00E9");
        const Tree tree{
            {"A", "1"},  {"a", kDir},    {"a.txt", "t"},
            {"a/z", ""}, {"a/e", kDir},  {".hidden", "h"},
            {"b", blob}, {latin1, kDir}, {latin1 + QString::fromUtf8("/\u00FF\u00A0x\\"), "l"}};
        // Made in reverse order, so that the order on disk is no help.
        for (auto it = tree.constEnd(); it != tree.constBegin();) {
            --it;
            makeTree(source(), Tree{{it.key(), it.value()}});
        }
        PackOptions options;
        options.withVersion = true;
        options.version = "v1";
        // Version first; Latin-1 names in byte order; a directory's contents right after it.
        const QByteArray expected = version("v1") + file(".hidden", "h") + file("A", "1") +
                                    directory("a") + directory("a/e") + file("a/z", "") +
                                    file("a.txt", "t") + file("b", blob) + directory("caf\xE9") +
                                    file("caf\xE9/\xFF\xA0x\\", "l");
        QCOMPARE(pack(source(), archive(), options), expected);
        // Packing again over the archive replaces it with the same bytes.
        QCOMPARE(pack(source(), archive(), options), expected);
    }

    // Each row is named for what the test sets up.
    void refusals_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("symlink") << "symbolic links are not supported: sub/link";
        QTest::newRow("fifo") << "not a regular file or directory: sub/fifo";
        QTest::newRow("non-latin-1 name")
            << QString::fromUtf8("name not representable in Latin-1: sub/\u0436");
        QTest::newRow("file of 2 GiB") << "file too large (2 GiB or more): sub/huge";
        QTest::newRow("colon") << "name that extraction would refuse: a:b";
        QTest::newRow("non-latin-1 version") << "version text not representable in Latin-1";
        QTest::newRow("output inside through a link") << "is inside the directory being packed";
        QTest::newRow("source not a directory") << "/a: Not a directory";
    }

    void refusals()
    {
        QFETCH(QString, message);
        const QString kind = QTest::currentDataTag();
        makeTree(source(), {{"a", "first"}, {"sub", kDir}, {"sub/z", "last"}});
        const QString sub = source() + "/sub/";
        QString dir = source();
        QString output = archive();
        PackOptions options;
        if (kind == "symlink")
            QVERIFY(QFile::link(source() + "/a", sub + "link"));
        else if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(sub + "fifo").constData(), 0600), 0);
        else if (kind == "non-latin-1 name")
            QVERIFY(writeFile(sub + QString::fromUtf8("\u0436"), "x"));
        else if (kind == "file of 2 GiB")
            QVERIFY(writeFile(sub + "huge", "") &&
                    QFile::resize(sub + "huge", qint64(1) << 31)); // sparse
        else if (kind == "colon")
            QVERIFY(writeFile(source() + "/a:b", "x"));
        else if (kind == "non-latin-1 version")
            options = {true, QString::fromUtf8("\u20AC1"), false, {}};
        else if (kind == "output inside through a link")
            QVERIFY(QFile::link(sub, tmp->filePath("alias")));
        else if (kind == "source not a directory")
            dir = source() + "/a";
        if (kind == "output inside through a link")
            output = tmp->filePath("alias/out.vt");
        else // an earlier archive at the output must survive a refused pack
            QVERIFY(writeFile(output, "previous"));
        const QStringList besideOutput = QDir(QFileInfo(output).absolutePath()).entryList();

        const QByteArray result = pack(dir, output, options);
        QVERIFY2(result.startsWith("<failed> ") && result.contains(message.toUtf8()),
                 result.constData());
        QCOMPARE(readFile(output), output == archive() ? "previous" : "<missing>");
        // No temporary file left behind either.
        QCOMPARE(QDir(QFileInfo(output).absolutePath()).entryList(), besideOutput);
    }

    void sourceShorterOrLongerThanAnnounced()
    {
        QByteArray sink, data("abc");
        QBuffer out(&sink), in(&data);
        QVERIFY(out.open(QIODevice::WriteOnly) && in.open(QIODevice::ReadOnly));
        ArchiveWriter writer(&out);
        QVERIFY(!writer.writeFile("f", in, 10));
        QVERIFY(writer.errorString().contains("could not be read in full"));
        QVERIFY(in.seek(0));
        QVERIFY(!writer.writeFile("g", in, 2));
        QVERIFY(writer.errorString().contains("changed while packing"));
    }
};

QTEST_APPLESS_MAIN(TestArchiveWriter)
#include "tst_archivewriter.moc"
