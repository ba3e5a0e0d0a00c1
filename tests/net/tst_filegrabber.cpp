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

QByteArray binaryBody(int size)
{
    QByteArray out(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = char(x);
    }
    return out;
}

} // namespace

class FileGrabberTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void downloadsBodyByteForByte_data();
    void downloadsBodyByteForByte();
    void failedTransferLeavesEarlierFile_data();
    void failedTransferLeavesEarlierFile();
    void unopenableTarget_data();
    void unopenableTarget();
    void shortWriteRemovesFile();
    void startTwiceMakesOneRequest();
    void cancelNeverReportsAndCanRestart();
    void destroyingRunningGrabberAborts();

private:
    std::unique_ptr<ScriptedHttpServer> server;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<LogCapture> log;
};

void FileGrabberTest::init()
{
    server = std::make_unique<ScriptedHttpServer>();
    QVERIFY(server->listen());
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    log = std::make_unique<LogCapture>();
}

void FileGrabberTest::cleanup()
{
    log.reset();
    server.reset();
    dir.reset();
}

void FileGrabberTest::downloadsBodyByteForByte_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("requestId");
    QTest::newRow("binary body, id 0") << binaryBody(1 << 20) << 0;
    QTest::newRow("empty body, id 7") << QByteArray() << 7;
    QTest::newRow("one byte, id -1") << QByteArray("\0", 1) << -1;
    QTest::newRow("id INT_MAX") << binaryBody(4097) << int(INT_MAX);
    QTest::newRow("id INT_MIN") << binaryBody(10) << int(INT_MIN);
}

void FileGrabberTest::downloadsBodyByteForByte()
{
    QFETCH(QByteArray, body);
    QFETCH(int, requestId);
    server->setScript(S::answer(200, body));
    const QString target = dir->filePath(QStringLiteral("update.vt"));
    // An older, longer file of that name is replaced entirely.
    QVERIFY(writeFile(target, QByteArray(body.size() + 100, 'o')));
    FileGrabber grabber(server->url(QStringLiteral("/update.vt")), target, requestId);
    QSignalSpy spy(&grabber, &FileGrabber::finished);
    QVERIFY(!grabber.isRunning());
    grabber.start();
    QVERIFY(grabber.isRunning());
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    QCOMPARE(spy.at(0).at(1).toInt(), requestId);
    QVERIFY(!grabber.isRunning());
    QCOMPARE(grabber.progress(), 0.0f);
    const QByteArray onDisk = readFile(target);
    QCOMPARE(onDisk.size(), body.size());
    QVERIFY(onDisk == body);
    QCOMPARE(log->entries(), QStringList());
}

void FileGrabberTest::failedTransferLeavesEarlierFile_data()
{
    QTest::addColumn<QList<S::Step>>("script");
    QTest::newRow("404") << S::answer(404, "gone");
    QTest::newRow("cut off") << QList<S::Step>{
        S::send(S::response(200, "", false, {"Content-Length: 500"}) + "abc"), S::close()};
}

void FileGrabberTest::failedTransferLeavesEarlierFile()
{
    QFETCH(QList<S::Step>, script);
    server->setScript(script);
    const QString target = dir->filePath(QStringLiteral("update.vt"));
    QVERIFY(writeFile(target, "earlier attempt"));
    FileGrabber grabber(server->url(QStringLiteral("/update.vt")), target, 3);
    QSignalSpy spy(&grabber, &FileGrabber::finished);
    grabber.start();
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.at(0).at(0).toBool(), true);
    QCOMPARE(spy.at(0).at(1).toInt(), 3);
    QCOMPARE(readFile(target), QByteArray("earlier attempt"));
}

void FileGrabberTest::unopenableTarget_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("a directory of that name") << "update.vt";
    QTest::newRow("missing parent directory") << "no/such/dir/update.vt";
}

void FileGrabberTest::unopenableTarget()
{
    QFETCH(QString, name);
    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("update.vt/inside")));
    server->setScript(S::answer(200, "body"));
    const QString target = dir->filePath(name);
    FileGrabber grabber(server->url(QStringLiteral("/update.vt")), target, 11);
    QSignalSpy spy(&grabber, &FileGrabber::finished);
    grabber.start();
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.at(0).at(0).toBool(), true);
    QCOMPARE(spy.at(0).at(1).toInt(), 11);
    // Nothing is removed.
    QVERIFY(QFileInfo(dir->filePath(QStringLiteral("update.vt/inside"))).isDir());
    QVERIFY(!grabber.isRunning());
}

void FileGrabberTest::shortWriteRemovesFile()
{
    // A file size limit makes the write stop part-way, like a full disk would.
    const QByteArray body = binaryBody(200000);
    server->setScript(
        {S::send(S::response(200, "", false, {"Content-Length: 200000"}) + body.left(1000)),
         S::pause(300), S::send(body.mid(1000)), S::hold()});
    const QString target = dir->filePath(QStringLiteral("update.vt"));
    FileGrabber grabber(server->url(QStringLiteral("/update.vt")), target, 5);
    QSignalSpy spy(&grabber, &FileGrabber::finished);
    grabber.start();
    QVERIFY(QTest::qWaitFor([&] { return grabber.progress() > 0.0f; }, 5000));

    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 50000;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool arrived = spy.wait(10000) || !spy.isEmpty();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(arrived);
    QCOMPARE(spy.at(0).at(0).toBool(), true);
    QCOMPARE(spy.at(0).at(1).toInt(), 5);
    QVERIFY(!QFile::exists(target));
}

void FileGrabberTest::startTwiceMakesOneRequest()
{
    server->setScript({S::send(S::response(200, "", false, {"Content-Length: 6"}) + "abc"),
                       S::pause(200), S::send("def"), S::hold()});
    const QString target = dir->filePath(QStringLiteral("update.vt"));
    FileGrabber grabber(server->url(QStringLiteral("/update.vt")), target, 1);
    QSignalSpy spy(&grabber, &FileGrabber::finished);
    grabber.start();
    grabber.start();
    QVERIFY(server->waitForRequests(1));
    grabber.start();
    QVERIFY(spy.wait(10000));
    QTest::qWait(300);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(server->connectionCount(), 1);
    QCOMPARE(readFile(target), QByteArray("abcdef"));
}

void FileGrabberTest::cancelNeverReportsAndCanRestart()
{
    server->setScript(
        {S::send(S::response(200, "", false, {"Content-Length: 100"}) + "abc"), S::hold()});
    const QString target = dir->filePath(QStringLiteral("update.vt"));
    FileGrabber grabber(server->url(QStringLiteral("/update.vt")), target, 9);
    QSignalSpy spy(&grabber, &FileGrabber::finished);
    grabber.start();
    QVERIFY(QTest::qWaitFor([&] { return grabber.progress() == 0.03f; }, 5000));
    grabber.cancel();
    QVERIFY(!grabber.isRunning());
    QCOMPARE(grabber.progress(), 0.0f);
    grabber.cancel(); // idle: nothing happens
    QVERIFY(QTest::qWaitFor([&] { return server->closedCount() == 1; }, 5000));
    QTest::qWait(100);
    QCOMPARE(spy.size(), 0);
    QVERIFY(!QFile::exists(target));

    server->setScript(S::answer(200, "second"));
    grabber.start();
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    QCOMPARE(spy.at(0).at(1).toInt(), 9);
    QCOMPARE(readFile(target), QByteArray("second"));
    QCOMPARE(server->requests().size(), 2);
    QCOMPARE(log->entries(), QStringList());
}

void FileGrabberTest::destroyingRunningGrabberAborts()
{
    server->setScript({S::hold()});
    int reports = 0;
    auto* grabber = new FileGrabber(server->url(QStringLiteral("/update.vt")),
                                    dir->filePath(QStringLiteral("update.vt")), 0);
    connect(grabber, &FileGrabber::finished, this, [&] { ++reports; });
    grabber->start();
    QVERIFY(server->waitForRequests(1));
    delete grabber;
    QVERIFY(QTest::qWaitFor([&] { return server->closedCount() == 1; }, 5000));
    QTest::qWait(100);
    QCOMPARE(reports, 0);
    QCOMPARE(log->entries(), QStringList());
}

QTEST_GUILESS_MAIN(FileGrabberTest)
#include "tst_filegrabber.moc"
