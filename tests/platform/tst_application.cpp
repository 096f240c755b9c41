// Alerts, window levels, the progress indicator and the script stand-in.
#include <QtTest>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include "platform/qt/alert.hpp"
#include "platform/qt/applescript.hpp"
#include "platform/qt/application.hpp"
#include "platform/qt/controls.hpp"
#include "platform/qt/timer.hpp"

using namespace bwv::platform;

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
        QTRY_VERIFY_WITH_TIMEOUT(fired >= 1, 5000);
        poll->invalidate();
    }

    void theControlsMapOntoTheirWidgets() {
        QWidget window;
        setWindowLevel(&window, kFloatingWindowLevel);
        QVERIFY(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint) && windowLevel(&window) == kFloatingWindowLevel);
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
        QCOMPARE(activationServiceName(QStringLiteral("A B-1")), QStringLiteral("com.tarvenel.A_B_1"));
        QCOMPARE(activationObjectPath(QStringLiteral("9x")), QStringLiteral("/com/tarvenel/_9x"));
        int activated = 0;
        QVERIFY(registerActivation(QStringLiteral("Brindle Agent"), [&] { ++activated; }));
        AppleScript script(QStringLiteral("  tell application \"Brindle Agent\"\n  activate\nend tell"));
        QVERIFY(script.executeAndReturnError());
        QTRY_COMPARE_WITH_TIMEOUT(activated, 1, 10000);
        unregisterActivation(QStringLiteral("Brindle Agent"));
        QVERIFY(script.executeAndReturnError());  // nobody answers now: still sent, nothing fails
        QTest::qWait(200);
        QCOMPARE(activated, 1);
    }
};

QTEST_MAIN(ApplicationTest)
#include "tst_application.moc"
