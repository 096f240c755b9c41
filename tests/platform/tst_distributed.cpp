// Distributed notifications over a private session bus; the poster hears its own posts
// through the bus like any other process.
#include <QDBusConnection>
#include <QtTest>

#include "platform/qt/notification.hpp"

using namespace bwv::platform;

// A bus that takes no signal subscription, for the one case that needs it; every other
// subscription goes through as Qt's own overload would pass it on.
static bool g_refuseSubscriptions = false;
bool QDBusConnection::connect(const QString &service, const QString &path, const QString &interface,
                              const QString &name, QObject *receiver, const char *slot) {
    return !g_refuseSubscriptions && connect(service, path, interface, name, QStringList(), QString(), receiver, slot);
}

class DistributedNotificationTest : public QObject {
    Q_OBJECT

private slots:
    void observersGetTheirNameAndSenderWithTheUserInfoAndCanBeRemoved() {
        auto &center = DistributedNotificationCenter::defaultCenter();
        QVERIFY(center.isConnected());
        QList<Notification> fromA;
        int any = 0;
        center.addObserver(this, [&](const Notification &n) { fromA << n; }, QStringLiteral("Own"), QStringLiteral("a"));
        center.addObserver(this, [&](const Notification &) { ++any; }, QStringLiteral("Own"));
        center.postNotificationName(QStringLiteral("Own"), QStringLiteral("b"));
        center.postNotificationName(QStringLiteral("Other"), QStringLiteral("a"));
        center.postNotificationName(QStringLiteral("Own"), QStringLiteral("a"),
                                    {{QStringLiteral("text"), QStringLiteral("hello")}, {QStringLiteral("number"), 42}});
        QTRY_COMPARE_WITH_TIMEOUT(any, 2, 10000);
        QCOMPARE(fromA.size(), 1);
        QCOMPARE(fromA[0].userInfo.value(QStringLiteral("text")).toString(), QStringLiteral("hello"));
        QCOMPARE(fromA[0].userInfo.value(QStringLiteral("number")).toInt(), 42);
        center.removeObserver(this, QStringLiteral("Own"));
        center.postNotificationName(QStringLiteral("Own"), QStringLiteral("a"));
        QTest::qWait(300);
        QVERIFY(any == 2 && fromA.size() == 1);
    }

    // Without the subscription nothing posted would ever arrive.
    void aCenterWhoseSubscriptionIsRefusedIsNotConnected() {
        g_refuseSubscriptions = true;
        DistributedNotificationCenter center;
        QVERIFY(!center.isConnected());
        g_refuseSubscriptions = false;
    }
};

QTEST_MAIN(DistributedNotificationTest)
#include "tst_distributed.moc"
