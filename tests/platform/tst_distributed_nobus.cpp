// Without a session bus the distributed center does nothing, quietly.
#include <QtTest>

#include "platform/qt/applescript.hpp"
#include "platform/qt/notification.hpp"

using namespace bwv::platform;

class NoBusTest : public QObject {
    Q_OBJECT

private slots:
    void postingAndObservingDoNothingAndNothingFails() {
        auto &center = DistributedNotificationCenter::defaultCenter();
        QVERIFY(!center.isConnected());
        int seen = 0;
        center.addObserver(this, [&](const Notification &) { ++seen; }, QStringLiteral("Lonely"));
        center.postNotificationName(QStringLiteral("Lonely"), QString(), {{QStringLiteral("k"), 1}});
        QTest::qWait(300);
        QCOMPARE(seen, 0);
        center.removeObserver(this);
    }

    void theScriptStandInReportsTheMissingBusWithoutFailing() {
        QString error;
        AppleScript script(QStringLiteral("tell application \"Somebody\"\nactivate\nend tell\n"));
        QVERIFY(!script.executeAndReturnError(&error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!registerActivation(QStringLiteral("Somebody"), [] {}));
    }
};

QTEST_MAIN(NoBusTest)
#include "tst_distributed_nobus.moc"
