// Distributed notifications between two processes on one session bus.
#include <QtTest>

#include "platform/qt/notification.hpp"

using namespace bwv::platform;

class DistributedNotificationTest : public QObject {
    Q_OBJECT

private slots:
    void aNotificationCrossesToAnotherProcessAndBack() {
        auto &center = DistributedNotificationCenter::defaultCenter();
        QVERIFY(center.isConnected());
        int ready = 0;
        QList<Notification> pongs;
        center.addObserver(this, [&](const Notification &) { ++ready; }, QStringLiteral("PeerReady"));
        center.addObserver(this, [&](const Notification &n) { pongs << n; }, QStringLiteral("Pong"));

        QProcess peer;
        peer.setProcessChannelMode(QProcess::ForwardedChannels);
        peer.start(QStringLiteral(BWV_DNC_PEER), {});
        QVERIFY(peer.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(ready > 0, 15000);

        center.postNotificationName(QStringLiteral("Ping"), QString(),
                                    {{QStringLiteral("text"), QStringLiteral("hello")},
                                     {QStringLiteral("number"), 42}});
        QTRY_COMPARE_WITH_TIMEOUT(pongs.size(), 1, 15000);
        QCOMPARE(pongs[0].name, QStringLiteral("Pong"));
        QCOMPARE(pongs[0].objectString, QStringLiteral("peer"));
        QCOMPARE(pongs[0].userInfo.value(QStringLiteral("text")).toString(), QStringLiteral("hello"));
        QCOMPARE(pongs[0].userInfo.value(QStringLiteral("number")).toInt(), 42);
        QVERIFY(peer.waitForFinished(15000));
        QCOMPARE(peer.exitCode(), 0);
        center.removeObserver(this);
    }

    void observersMatchTheSenderStringAndCanBeRemoved() {
        auto &center = DistributedNotificationCenter::defaultCenter();
        int fromA = 0, any = 0;
        center.addObserver(this, [&](const Notification &) { ++fromA; }, QStringLiteral("Own"),
                           QStringLiteral("a"));
        center.addObserver(this, [&](const Notification &) { ++any; }, QStringLiteral("Own"));
        center.postNotificationName(QStringLiteral("Own"), QStringLiteral("b"));
        center.postNotificationName(QStringLiteral("Own"), QStringLiteral("a"));
        QTRY_COMPARE_WITH_TIMEOUT(any, 2, 10000);
        QCOMPARE(fromA, 1);
        center.removeObserver(this, QStringLiteral("Own"));
        center.postNotificationName(QStringLiteral("Own"), QStringLiteral("a"));
        QTest::qWait(300);
        QCOMPARE(any, 2);
        QCOMPARE(fromA, 1);
    }
};

QTEST_MAIN(DistributedNotificationTest)
#include "tst_distributed.moc"
