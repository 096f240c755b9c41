// Alerts, the log, window levels, the progress indicator, the application object and the
// script stand-in.
#include <QtTest>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include "platform/qt/alert.hpp"
#include "platform/qt/application.hpp"
#include "platform/qt/applescript.hpp"
#include "platform/qt/controls.hpp"
#include "platform/qt/log.hpp"
#include "platform/qt/timer.hpp"
#include "support/recorders.hpp"

using namespace bwv::platform;

class ApplicationTest : public QObject {
    Q_OBJECT

private slots:
    void alertsGoToTheInstalledPresenterWithOneOkButton() {
        bwv::test::ScopedAlertRecorder alerts;
        QCOMPARE(runCriticalAlertPanel(QStringLiteral("Title"), QStringLiteral("Text")), kAlertDefaultReturn);
        alerts->answer = kAlertAlternateReturn;
        QCOMPARE(runCriticalAlertPanel(QStringLiteral("T2"), QStringLiteral("M2"), QString(), QStringLiteral("No")),
                 kAlertAlternateReturn);
        QCOMPARE(alerts->alerts.size(), size_t(2));
        QCOMPARE(alerts->alerts[0].title, QStringLiteral("Title"));
        QCOMPARE(alerts->alerts[0].message, QStringLiteral("Text"));
        QCOMPARE(alerts->alerts[0].defaultButton, QStringLiteral("OK"));
        QVERIFY(alerts->alerts[0].alternateButton.isEmpty());
        QVERIFY(alerts->alerts[0].otherButton.isEmpty());
        QCOMPARE(alerts->alerts[1].defaultButton, QStringLiteral("OK"));
        QCOMPARE(alerts->alerts[1].alternateButton, QStringLiteral("No"));
    }

    void theStandardAlertIsModalAndHoldsBackDefaultModeTimers() {
        int fired = 0;
        auto poll = Timer::scheduledTimer(0.02, true, [&](Timer &) { ++fired; });
        QString shownTitle, shownText;
        QStringList buttons;
        int firedWhileOpen = -1;
        QTimer::singleShot(300, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box) return;
            shownTitle = box->windowTitle();
            shownText = box->text();
            for (QAbstractButton *b : box->buttons()) buttons << b->text();
            firedWhileOpen = fired;
            box->buttons().first()->click();
        });
        fired = 0;
        const int answer = runCriticalAlertPanel(QStringLiteral("BrindleWave is running!"),
                                                 QStringLiteral("Please shutdown BrindleWave, then install again"));
        QCOMPARE(answer, kAlertDefaultReturn);
        QCOMPARE(shownTitle, QStringLiteral("BrindleWave is running!"));
        QCOMPARE(shownText, QStringLiteral("Please shutdown BrindleWave, then install again"));
        QCOMPARE(buttons, QStringList{QStringLiteral("OK")});
        QCOMPARE(firedWhileOpen, 0);
        QTRY_VERIFY_WITH_TIMEOUT(fired >= 1, 5000);
        poll->invalidate();
    }

    void logLinesGoToTheInstalledSinkAndTheStandardOneComesBack() {
        const auto standard = logSink();
        {
            bwv::test::ScopedLogRecorder log;
            logLine(QStringLiteral("Mount point existed!"));
            logLine(QStringLiteral("second"));
            QCOMPARE(log->lines, (QStringList{QStringLiteral("Mount point existed!"), QStringLiteral("second")}));
        }
        QCOMPARE(logSink(), standard);
        setLogSink(nullptr);
        QVERIFY(logSink() != nullptr);
    }

    void theFloatingLevelKeepsTheWindowOnTop() {
        QWidget window;
        QCOMPARE(windowLevel(&window), kNormalWindowLevel);
        makeKeyAndOrderFront(&window);
        QVERIFY(window.isVisible());
        setWindowLevel(&window, kFloatingWindowLevel);
        QCOMPARE(windowLevel(&window), 3);
        QVERIFY(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(window.isVisible());  // changing the level does not hide it
        setWindowLevel(&window, kNormalWindowLevel);
        QVERIFY(!window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    }

    void theProgressIndicatorMapsOntoTheBar() {
        QProgressBar bar;
        ProgressIndicator pi(&bar);
        QVERIFY(pi.isIndeterminate());
        pi.startAnimation();
        QCOMPARE(bar.maximum(), 0);  // busy
        pi.stopAnimation();
        QVERIFY(bar.maximum() > 0);
        pi.setIndeterminate(false);
        pi.setMaxValue(500.0);
        pi.setMinValue(0.0);
        pi.setDoubleValue(250.0);
        QCOMPARE(pi.doubleValue(), 250.0);
        QCOMPARE(double(bar.value() - bar.minimum()) / double(bar.maximum() - bar.minimum()), 0.5);
        pi.setDoubleValue(900.0);  // beyond the range: shown full, kept as given
        QCOMPARE(bar.value(), bar.maximum());
        QCOMPARE(pi.doubleValue(), 900.0);
    }

    void onlyTheTellActivateFormIsUnderstood() {
        QCOMPARE(AppleScript(QStringLiteral("tell application \"BrindleWaveAgent\"\nactivate\nend tell\n")).targetApplication(),
                 QStringLiteral("BrindleWaveAgent"));
        QCOMPARE(AppleScript(QStringLiteral("  tell application \"A B\"\n  activate\nend tell")).targetApplication(),
                 QStringLiteral("A B"));
        QVERIFY(AppleScript(QStringLiteral("tell application \"X\"\nquit\nend tell\n")).targetApplication().isEmpty());
        QVERIFY(AppleScript(QStringLiteral("do shell script \"rm -rf /\"")).targetApplication().isEmpty());
        QVERIFY(AppleScript(QString()).targetApplication().isEmpty());
        QString error;
        QVERIFY(!AppleScript(QStringLiteral("beep")).executeAndReturnError(&error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(activationServiceName(QStringLiteral("A B-1")), QStringLiteral("com.tarvenel.A_B_1"));
        QCOMPARE(activationObjectPath(QStringLiteral("9x")), QStringLiteral("/com/tarvenel/_9x"));
    }

    void theScriptAsksTheApplicationToActivateOverTheBus() {
        int activated = 0;
        QVERIFY(registerActivation(QStringLiteral("BrindleWaveAgent"), [&] { ++activated; }));
        AppleScript script(QStringLiteral("tell application \"BrindleWaveAgent\"\nactivate\nend tell\n"));
        QVERIFY(script.executeAndReturnError());
        QTRY_COMPARE_WITH_TIMEOUT(activated, 1, 10000);
        unregisterActivation(QStringLiteral("BrindleWaveAgent"));
        // Nobody answers now: the script is still sent and nothing fails.
        QVERIFY(script.executeAndReturnError());
        QTest::qWait(200);
        QCOMPARE(activated, 1);
    }
};

QTEST_MAIN(ApplicationTest)
#include "tst_application.moc"
