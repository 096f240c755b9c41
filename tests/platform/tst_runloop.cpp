// The run loop, its timers and the default notification center.
#include <QtTest>

#include "platform/qt/notification.hpp"
#include "platform/qt/runloop.hpp"
#include "platform/qt/timer.hpp"
#include "system/qt/NTSynchronousTask.h"

using namespace bwv::platform;

class RunLoopTest : public QObject {
    Q_OBJECT

private slots:
    void repeatingTimerFiresOnTheLoopUntilInvalidated() {
        int fired = 0;
        Timer *seen = nullptr;
        auto t = Timer::scheduledTimer(0.02, true, [&](Timer &timer) {
            ++fired;
            seen = &timer;
        }, QStringLiteral("info"));
        QVERIFY(t->isValid());
        QCOMPARE(fired, 0);  // never at scheduling time
        QTRY_VERIFY_WITH_TIMEOUT(fired >= 3, 5000);
        QCOMPARE(seen, t.get());
        QCOMPARE(seen->userInfo().toString(), QStringLiteral("info"));
        t->invalidate();
        QVERIFY(!t->isValid());
        const int atInvalidate = fired;
        QTest::qWait(100);
        QCOMPARE(fired, atInvalidate);
        t->invalidate();  // a second time does nothing
    }

    void oneShotTimerFiresOnceAndEndsInvalid() {
        int fired = 0;
        auto t = Timer::scheduledTimer(0.01, false, [&](Timer &) { ++fired; });
        QTRY_COMPARE_WITH_TIMEOUT(fired, 1, 5000);
        QVERIFY(!t->isValid());
        QTest::qWait(60);
        QCOMPARE(fired, 1);
    }

    void fireRunsAtOnceAndKeepsTheSchedule() {
        int fired = 0;
        qint64 scheduledAt = 0;
        QElapsedTimer clock;
        clock.start();
        auto t = Timer::scheduledTimer(1.0, true, [&](Timer &) {
            if (++fired == 2) scheduledAt = clock.elapsed();
        });
        QTest::qWait(500);
        t->fire();
        QCOMPARE(fired, 1);
        QVERIFY(t->isValid());
        QTRY_COMPARE_WITH_TIMEOUT(fired, 2, 5000);
        // The scheduled firing kept its time (1 s after scheduling), rather than moving
        // to one interval after fire() (1.5 s).
        QVERIFY2(scheduledAt < 1350, qPrintable(QString::number(scheduledAt)));
        t->invalidate();
        t->fire();
        QCOMPARE(fired, 2);
    }

    void firingAOneShotTimerByHandInvalidatesIt() {
        int fired = 0;
        auto t = Timer::scheduledTimer(5.0, false, [&](Timer &) { ++fired; });
        t->fire();
        QCOMPARE(fired, 1);
        QVERIFY(!t->isValid());
    }

    void aTimerMayInvalidateItselfAndDropTheLastReference() {
        int fired = 0;
        std::weak_ptr<Timer> weak;
        {
            auto t = Timer::scheduledTimer(0.01, true, [&](Timer &self) {
                ++fired;
                self.invalidate();
            });
            weak = t;
        }
        QVERIFY(!weak.expired());  // the loop keeps a scheduled timer alive
        QTRY_VERIFY_WITH_TIMEOUT(weak.expired(), 5000);
        QCOMPARE(fired, 1);
    }

    void defaultModeTimersWaitWhileAModalPanelRuns() {
        int fired = 0;
        auto t = Timer::scheduledTimer(0.01, true, [&](Timer &) { ++fired; });
        {
            RunLoop::ModeScope modal(RunLoopMode::ModalPanel);
            QTest::qWait(80);
            QCOMPARE(fired, 0);
        }
        // Missed intervals collapse into one firing once the default mode is served again.
        QTRY_VERIFY_WITH_TIMEOUT(fired >= 1, 5000);
        t->invalidate();
    }

    void runModeAnswersFalseWhenNothingCanWakeTheLoop() {
        RunLoop &loop = RunLoop::current();
        QCOMPARE(loop.sourceCount(), 0);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!loop.runModeBeforeDate(RunLoopMode::Default, 2.0));
        QVERIFY(clock.elapsed() < 1000);
    }

    void runModeReturnsByItsLimitAndServesWork() {
        RunLoop &loop = RunLoop::current();
        int fired = 0;
        auto t = Timer::scheduledTimer(10.0, true, [&](Timer &) { ++fired; });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(loop.runModeBeforeDate(RunLoopMode::Default, 0.1));
        QVERIFY(clock.elapsed() < 2000);
        bool ran = false;
        loop.perform(RunLoopMode::Default, [&] { ran = true; });
        for (int i = 0; i < 5 && !ran; ++i) loop.runModeBeforeDate(RunLoopMode::Default, 0.5);
        QVERIFY(ran);
        t->invalidate();
        QCOMPARE(fired, 0);
    }

    void workFromAnotherThreadArrivesOnTheLoopThread() {
        RunLoop &loop = RunLoop::current();
        QThread *ran_on = nullptr;
        std::thread([&loop, &ran_on] {
            loop.perform(RunLoopMode::Default, [&ran_on] { ran_on = QThread::currentThread(); });
        }).join();
        QTRY_VERIFY_WITH_TIMEOUT(ran_on != nullptr, 5000);
        QCOMPARE(ran_on, QThread::currentThread());
    }

    void observersGetTheirNameAndSenderOnly() {
        NotificationCenter &c = NotificationCenter::defaultCenter();
        int a = 0, b = 0, any = 0;
        int senderA = 0, senderB = 0;
        c.addObserver(this, [&](const Notification &) { ++a; }, QStringLiteral("A"), &senderA);
        c.addObserver(this, [&](const Notification &) { ++b; }, QStringLiteral("B"));
        c.addObserver(this, [&](const Notification &n) {
            if (n.name == QStringLiteral("A")) ++any;
        }, QString());
        c.postNotificationName(QStringLiteral("A"), &senderB);
        QCOMPARE(a, 0);
        QCOMPARE(any, 1);
        c.postNotificationName(QStringLiteral("A"), &senderA, {{QStringLiteral("k"), 1}});
        QCOMPARE(a, 1);
        c.postNotificationName(QStringLiteral("B"), &senderB);
        QCOMPARE(b, 1);
        c.removeObserver(this);  // all names at once
        c.postNotificationName(QStringLiteral("A"), &senderA);
        c.postNotificationName(QStringLiteral("B"));
        QCOMPARE(a, 1);
        QCOMPARE(b, 1);
        QCOMPARE(any, 2);
    }

    void anObserverRemovedDuringDeliveryIsNotCalled() {
        NotificationCenter &c = NotificationCenter::defaultCenter();
        int first = 0, second = 0;
        int other = 0;
        c.addObserver(this, [&](const Notification &) {
            ++first;
            c.removeObserver(&other);
        }, QStringLiteral("X"));
        c.addObserver(&other, [&](const Notification &) { ++second; }, QStringLiteral("X"));
        c.postNotificationName(QStringLiteral("X"));
        QCOMPARE(first, 1);
        QCOMPARE(second, 0);
        c.removeObserver(this, QStringLiteral("X"));
        c.postNotificationName(QStringLiteral("X"));
        QCOMPARE(first, 1);
    }

    void timersAndNotificationsAreDeliveredWhileASynchronousTaskWaits() {
        int fired = 0, noticed = 0;
        NotificationCenter::defaultCenter().addObserver(this, [&](const Notification &) { ++noticed; },
                                                       QStringLiteral("Tick"));
        auto t = Timer::scheduledTimer(0.05, true, [&](Timer &) {
            ++fired;
            NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("Tick"));
        });
        const auto out = NTSynchronousTask::task(QStringLiteral("/bin/sh"), QString(),
                                                 {QStringLiteral("-c"), QStringLiteral("sleep 0.6; echo done")},
                                                 std::nullopt);
        const int duringWait = fired;
        t->invalidate();
        NotificationCenter::defaultCenter().removeObserver(this);
        QVERIFY(out.has_value());
        QCOMPARE(*out, QByteArray("done\n"));
        QVERIFY2(duringWait >= 3, qPrintable(QString::number(duringWait)));
        QCOMPARE(noticed, duringWait);
    }
};

QTEST_MAIN(RunLoopTest)
#include "tst_runloop.moc"
