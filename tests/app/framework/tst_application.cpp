// Alerts, window levels, the progress indicator, and over a private session bus the script
// stand-in and distributed notifications (the poster hears its own posts through the bus
// like any other process).
#include <QDBusConnection>
#include <QtTest>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include "app/framework/alert.hpp"
#include "app/framework/applescript.hpp"
#include "app/framework/application.hpp"
#include "app/framework/controls.hpp"
#include "app/framework/notification.hpp"
#include "app/framework/timer.hpp"

using namespace bwv::platform;

// A bus that takes no signal subscription, for the one case that needs it; every other
// subscription goes through as Qt's own overload would pass it on.
static bool g_refuseSubscriptions = false;
bool QDBusConnection::connect(const QString &service, const QString &path, const QString &interface,
                              const QString &name, QObject *receiver, const char *slot) {
    return !g_refuseSubscriptions && connect(service, path, interface, name, QStringList(), QString(), receiver, slot);
}

class ApplicationTest : public QObject {
    Q_OBJECT

private slots:
    void theStandardAlertIsModalAndHoldsBackDefaultModeTimers() {
        int fired = 0, firedWhileOpen = -1;
        auto poll = Timer::scheduledTimer(0.02, true, [&](Timer &) { ++fired; });
        QStringList shown;
        QTimer::singleShot(300, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box) return;
            shown << box->windowTitle() << box->text();
            for (QAbstractButton *b : box->buttons()) shown << b->text();
            firedWhileOpen = fired;
            box->buttons().first()->click();
        });
        fired = 0;
        QCOMPARE(runCriticalAlertPanel(QStringLiteral("Title"), QStringLiteral("Text")), kAlertDefaultReturn);
        QCOMPARE(shown, (QStringList{QStringLiteral("Title"), QStringLiteral("Text"), QStringLiteral("OK")}));
        QCOMPARE(firedWhileOpen, 0);
        QTRY_VERIFY_WITH_TIMEOUT(fired >= 1, 30000);
        poll->invalidate();
        // With three buttons, each answers its own value.
        const std::pair<const char *, int> answers[] = {
            {"Go", kAlertDefaultReturn}, {"Back", kAlertAlternateReturn}, {"Drop", kAlertOtherReturn}};
        for (const auto &[button, answer] : answers) {
            QTimer::singleShot(100, [button = QString::fromLatin1(button)] {
                for (QAbstractButton *b : qobject_cast<QMessageBox *>(QApplication::activeModalWidget())->buttons())
                    if (b->text() == button) b->click();
            });
            QCOMPARE(runCriticalAlertPanel(QStringLiteral("T"), QStringLiteral("M"), QStringLiteral("Go"),
                                           QStringLiteral("Back"), QStringLiteral("Drop")),
                     answer);
        }
    }

    void theControlsMapOntoTheirWidgets() {
        QWidget window;
        setWindowLevel(&window, kFloatingWindowLevel);
        QVERIFY(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint) &&
                windowLevel(&window) == kFloatingWindowLevel);
        QProgressBar bar;
        ProgressIndicator pi(&bar);
        pi.startAnimation();
        QCOMPARE(bar.maximum(), 0);  // busy
        pi.stopAnimation();
        pi.setIndeterminate(false);
        pi.setMaxValue(500.0);
        pi.setDoubleValue(250.0);
        QCOMPARE(double(bar.value() - bar.minimum()) / double(bar.maximum() - bar.minimum()), 0.5);
        pi.setDoubleValue(900.0);  // beyond the range: shown full, kept as given
        QVERIFY(bar.value() == bar.maximum() && pi.doubleValue() == 900.0);
    }

    // Only "tell application ... activate" is understood, and it travels over the bus.
    void theScriptAsksTheApplicationToActivateOverTheBus() {
        QVERIFY(AppleScript(QStringLiteral("do shell script \"rm -rf /\"")).targetApplication().isEmpty());
        QCOMPARE(activationServiceName(QStringLiteral("azAZ09_`{@[/: -")),
                 QStringLiteral("com.tarvenel.azAZ09_________"));
        QCOMPARE(activationObjectPath(QStringLiteral("9x")), QStringLiteral("/com/tarvenel/_9x"));
        int activated = 0;
        QVERIFY(registerActivation(QStringLiteral("Brindle Agent"), [&] { ++activated; }));
        AppleScript script(QStringLiteral("  tell application \"Brindle Agent\"\n  activate\nend tell"));
        QVERIFY(script.executeAndReturnError());
        QTRY_COMPARE_WITH_TIMEOUT(activated, 1, 30000);
        unregisterActivation(QStringLiteral("Brindle Agent"));
        QVERIFY(script.executeAndReturnError());  // nobody answers now: still sent, nothing fails
        QTest::qWait(200);
        QCOMPARE(activated, 1);
    }
    void observersGetTheirNameAndSenderWithTheUserInfoAndCanBeRemoved() {
        auto &center = DistributedNotificationCenter::defaultCenter();
        QVERIFY(center.isConnected());
        QList<Notification> fromA;
        int any = 0;
        center.addObserver(
            this, [&](const Notification &n) { fromA << n; }, QStringLiteral("Own"), QStringLiteral("a"));
        center.addObserver(
            this, [&](const Notification &) { ++any; }, QStringLiteral("Own"));
        center.postNotificationName(QStringLiteral("Own"), QStringLiteral("b"));
        center.postNotificationName(QStringLiteral("Other"), QStringLiteral("a"));
        center.postNotificationName(
            QStringLiteral("Own"), QStringLiteral("a"),
            {{QStringLiteral("text"), QStringLiteral("hello")}, {QStringLiteral("number"), 42}});
        QTRY_COMPARE_WITH_TIMEOUT(any, 2, 30000);
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

QTEST_MAIN(ApplicationTest)
#include "tst_application.moc"
