// Without a session bus the distributed center and the script stand-in do nothing, quietly.
#include <QtTest>

#include "app/framework/applescript.hpp"
#include "app/framework/notification.hpp"

using namespace bwv::platform;

class NoBusTest : public QObject {
    Q_OBJECT

private slots:
    void postingObservingAndScriptsDoNothingAndNothingFails() {
        auto &center = DistributedNotificationCenter::defaultCenter();
        QVERIFY(!center.isConnected());
        int seen = 0;
        center.addObserver(
            this, [&](const Notification &) { ++seen; }, QStringLiteral("Lonely"));
        center.postNotificationName(QStringLiteral("Lonely"), QString(), {{QStringLiteral("k"), 1}});
        QTest::qWait(300);
        QCOMPARE(seen, 0);
        QString error;
        QVERIFY(!AppleScript(QStringLiteral("tell application \"Somebody\"\nactivate\nend tell\n"))
                     .executeAndReturnError(&error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!registerActivation(QStringLiteral("Somebody"), [] {}));
    }
};

QTEST_MAIN(NoBusTest)
#include "tst_distributed_nobus.moc"
