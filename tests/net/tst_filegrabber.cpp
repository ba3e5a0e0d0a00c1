// The file grabber against a scripted server: what ends up on disk, the request
// id handed back, cancelling and restarting.
#include "FileGrabber.h"
#include "LogCapture.h"
#include "ScriptedHttpServer.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <climits>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using S = ScriptedHttpServer;

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// A 200 header announcing length bytes, followed by head of the body.
QByteArray partial(int length, const QByteArray& head)
{
    return S::response(200, "", false, {"Content-Length: " + QByteArray::number(length)}) + head;
}

} // namespace

class FileGrabberTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScriptedHttpServer> server;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<LogCapture> log;
    QString target;

    std::unique_ptr<FileGrabber> grabber(int requestId)
    {
        return std::make_unique<FileGrabber>(server->url(QStringLiteral("/update.vt")), target,
                                             requestId);
    }

private slots:
    void init()
    {
        server = std::make_unique<ScriptedHttpServer>();
        QVERIFY(server->listen());
        dir = std::make_unique<QTemporaryDir>();
        target = dir->filePath(QStringLiteral("update.vt"));
        log.reset(); // one log open at a time
        log = std::make_unique<LogCapture>();
    }

    void downloadsBodyByteForByte_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("requestId");
        // What was under the archive's name: it is replaced, never written through.
        QTest::addColumn<QString>("planted");
        // Just over one of the pieces the file is written in.
        QByteArray binary((1 << 20) + 1, Qt::Uninitialized);
        for (int i = 0; i < binary.size(); ++i)
            binary[i] = char((i * 131 + i / 256) & 0xff);
        QTest::newRow("binary body, id INT_MIN") << binary << int(INT_MIN) << "longer file";
        QTest::newRow("empty body, id INT_MAX") << QByteArray() << int(INT_MAX) << "longer file";
        QTest::newRow("over a symbolic link outside") << QByteArray("b") << 1 << "symlink";
        QTest::newRow("over a hard link outside") << QByteArray("b") << 1 << "hard link";
        QTest::newRow("over a FIFO") << QByteArray("b") << 1 << "fifo";
    }

    void downloadsBodyByteForByte()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, requestId);
        QFETCH(QString, planted);
        server->setScript(S::answer(200, body));
        const QString victim = dir->filePath(QStringLiteral("victim"));
        QVERIFY(writeFile(victim, "keep"));
        const QByteArray name = QFile::encodeName(target);
        if (planted == "symlink")
            QVERIFY(QFile::link(victim, target));
        else if (planted == "hard link")
            QCOMPARE(::link(QFile::encodeName(victim).constData(), name.constData()), 0);
        else if (planted == "fifo")
            QCOMPARE(::mkfifo(name.constData(), 0666), 0);
        else // an older, longer file of that name is replaced entirely
            QVERIFY(writeFile(target, QByteArray(body.size() + 100, 'o')));
        const auto grabber = this->grabber(requestId);
        QSignalSpy spy(grabber.get(), &FileGrabber::finished);
        QVERIFY(!grabber->isRunning());
        grabber->start();
        grabber->start(); // running: nothing happens
        QVERIFY(grabber->isRunning());
        QVERIFY(spy.wait(10000));
        QTest::qWait(50); // nothing more may follow
        QCOMPARE(spy, QList<QVariantList>({{false, requestId}}));
        QCOMPARE(server->requests().size(), 1);
        QVERIFY(!grabber->isRunning());
        QCOMPARE(grabber->progress(), 0.0f);
        const QByteArray onDisk = readFile(target);
        QCOMPARE(onDisk.size(), body.size());
        QVERIFY(onDisk == body);
        QCOMPARE(log->entries(), QStringList());
        QCOMPARE(readFile(victim), QByteArray("keep"));
        QCOMPARE(
            QDir(dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList({QStringLiteral("update.vt"), QStringLiteral("victim")}));
    }

    void failureLeavesNoPartialFile_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("inTheWay");
        QTest::addColumn<QByteArray>("left"); // what the target holds afterwards
        QTest::newRow("failed transfer keeps an earlier file")
            << 404 << "file" << QByteArray("earlier attempt");
        QTest::newRow("a directory of that name stays")
            << 200 << "directory" << QByteArray("<directory>");
        // The write stops part-way, like on a full disk: the earlier file stays.
        QTest::newRow("short write keeps an earlier file")
            << 200 << "size limit" << QByteArray("earlier attempt");
    }

    void failureLeavesNoPartialFile()
    {
        QFETCH(int, status);
        QFETCH(QString, inTheWay);
        QFETCH(QByteArray, left);
        server->setScript(S::answer(status, QByteArray(200000, 'b')));
        if (inTheWay == QLatin1String("directory"))
            QVERIFY(QDir().mkpath(target + QStringLiteral("/inside")));
        else
            QVERIFY(writeFile(target, "earlier attempt"));
        const auto grabber = this->grabber(3);
        QSignalSpy spy(grabber.get(), &FileGrabber::finished);
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const rlimit small{inTheWay == QLatin1String("size limit") ? 50000 : saved.rlim_cur,
                           saved.rlim_max};
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        grabber->start();
        const bool arrived = spy.wait(10000);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(arrived);
        QCOMPARE(spy.at(0), QVariantList({true, 3}));
        QVERIFY(!grabber->isRunning());
        QCOMPARE(QFileInfo(target).isDir() ? QByteArray("<directory>") : readFile(target), left);
        // No temporary is left beside it.
        QCOMPARE(
            QDir(dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList(QStringLiteral("update.vt")));
    }

    void stoppedDownloadNeverReports_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("cancelled, then started again") << false;
        QTest::newRow("destroyed while running") << true;
    }

    void stoppedDownloadNeverReports()
    {
        QFETCH(bool, destroy);
        server->setScript({S::send(partial(100, "abc")), S::hold()});
        auto grabber = this->grabber(9);
        QSignalSpy spy(grabber.get(), &FileGrabber::finished);
        grabber->start();
        QVERIFY(QTest::qWaitFor([&] { return grabber->progress() == 0.03f; }, 5000));
        if (destroy) {
            grabber.reset();
        } else {
            grabber->cancel();
            QVERIFY(!grabber->isRunning());
            QCOMPARE(grabber->progress(), 0.0f);
            grabber->cancel(); // idle: nothing happens
        }
        QVERIFY(QTest::qWaitFor([&] { return server->closedCount() == 1; }, 5000));
        QTest::qWait(100);
        QCOMPARE(spy.size(), 0);
        QVERIFY(!QFile::exists(target));
        QCOMPARE(log->entries(), QStringList());
        if (destroy)
            return;

        server->setScript(S::answer(200, "second"));
        grabber->start();
        QVERIFY(spy.wait(10000));
        QCOMPARE(spy, QList<QVariantList>({{false, 9}}));
        QCOMPARE(readFile(target), QByteArray("second"));
        QCOMPARE(server->requests().size(), 2);
    }
};

QTEST_GUILESS_MAIN(FileGrabberTest)
#include "tst_filegrabber.moc"
