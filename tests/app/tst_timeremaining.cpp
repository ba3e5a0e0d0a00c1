#include "TimeRemaining.h"

#include <QtTest>

class TestTimeRemaining : public QObject
{
    Q_OBJECT

private slots:
    void remaining_data();
    void remaining();
};

// progress 0: the seconds are the time left; otherwise they are the time elapsed at that progress.
void TestTimeRemaining::remaining_data()
{
    QTest::addColumn<quint32>("seconds");
    QTest::addColumn<float>("progress");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0u << 0.f << "00:00 remaining";
    QTest::newRow("9") << 9u << 0.f << "00:09 remaining";
    QTest::newRow("59") << 59u << 0.f << "00:59 remaining";
    QTest::newRow("60") << 60u << 0.f << "1:00 remaining";
    QTest::newRow("125") << 125u << 0.f << "2:05 remaining";
    QTest::newRow("3599") << 3599u << 0.f << "59:59 remaining";
    QTest::newRow("3600") << 3600u << 0.f << "1:0:00 remaining";
    QTest::newRow("largest") << 4294967295u << 0.f << "1193046:28:15 remaining";
    QTest::newRow("half after 30 s") << 30u << 0.5f << "00:30 remaining";
    QTest::newRow("quarter after 20 min") << 1200u << 0.25f << "1:0:00 remaining";
    QTest::newRow("total truncated") << 10u << 0.3f << "00:23 remaining"; // 33.3 -> 33
    // A fraction just above 1 estimates a total below elapsed: unsigned wrap.
    QTest::newRow("estimate below elapsed wraps") << 100u << 1.5f << "1193046:27:42 remaining";
}

void TestTimeRemaining::remaining()
{
    QFETCH(quint32, seconds);
    QFETCH(float, progress);
    QFETCH(QString, text);
    QCOMPARE(progress == 0.f ? remainingText(seconds) : timeRemainingText(seconds, progress), text);
}

QTEST_APPLESS_MAIN(TestTimeRemaining)
#include "tst_timeremaining.moc"
