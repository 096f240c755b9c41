// The run loop's timers, and tasks with the synchronous runner on them (its pipes,
// background reads, termination reports and in-process notifications).
#include <QtTest>

#include <chrono>
#include <csignal>
#include <unistd.h>

#include "app/framework/notification.hpp"
#include "app/framework/runloop.hpp"
#include "app/framework/task.hpp"
#include "app/framework/timer.hpp"
#include "support/temp_root.hpp"
#include "app/task/NTSynchronousTask.h"

using namespace bwv::platform;

class RunLoopTest : public QObject {
    Q_OBJECT

private slots:
    // A timer that invalidates itself from its own firing, as the shutdown poll does, may
    // drop the last reference with it.
    void timersFireOnTheLoopUntilInvalidated() {
        int repeats = 0, self = 0;
        auto repeating = Timer::scheduledTimer(
            0.02, true, [&](Timer &t) { repeats += t.userInfo().toInt(); }, 1);
        std::weak_ptr<Timer> selfInvalidating =
            Timer::scheduledTimer(0.01, true, [&](Timer &t) { ++self, t.invalidate(); });
        QCOMPARE(repeats + self, 0);           // never at scheduling time
        QVERIFY(!selfInvalidating.expired());  // the loop keeps a scheduled timer alive
        QTRY_VERIFY_WITH_TIMEOUT(repeats >= 3 && selfInvalidating.expired(), 30000);
        repeating->invalidate();
        const int atInvalidate = repeats;
        QTest::qWait(100);
        QVERIFY(repeats == atInvalidate && self == 1);
    }

    // expected: the output, or none (null) when the tool failed, could not start or was killed,
    // also by its deadline of 10 s, which takes what it started with it.
    void theSynchronousRunnerAnswersOutputOnlyForSuccess_data() {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected");
        const QString sh = QStringLiteral("/bin/sh");
        QTest::newRow("silent success") << QStringLiteral("/bin/true") << QString() << QByteArray() << QByteArray("");
        QTest::newRow("status decides") << sh << "echo partial; exit 3" << QByteArray() << QByteArray();
        QTest::newRow("killed") << sh << "echo x; kill -TERM $$; echo survived" << QByteArray() << QByteArray();
        QTest::newRow("past the deadline") << sh << "echo x; sleep 60" << QByteArray() << QByteArray();
        QTest::newRow("missing tool") << QStringLiteral("/nonexistent/tool") << QString() << QByteArray()
                                      << QByteArray();
        QTest::newRow("no tool") << QString() << QString() << QByteArray() << QByteArray();
        QTest::newRow("input to end of file")
            << QStringLiteral("/bin/cat") << QString() << QByteArray("yes\n") << QByteArray("yes\n");
        QTest::newRow("standard error left out") << sh << "echo e >&2; echo o" << QByteArray() << QByteArray("o\n");
        QTest::newRow("output closed, then failure")
            << sh << "echo early; exec >&-; sleep 0.3; exit 1" << QByteArray() << QByteArray();
        QTest::newRow("output closed, then success")
            << sh << "echo early; exec >&-; sleep 0.3" << QByteArray() << QByteArray("early\n");
        QTest::newRow("input ignored") << sh << "exec 0<&-; exit 0" << QByteArray(1 << 20, 'y') << QByteArray("");
        QTest::newRow("a pipe without input")
            << sh << "[ -p /dev/stdin ] && echo pipe" << QByteArray() << QByteArray("pipe\n");
        // Many times any pipe buffer: the tool blocks unless the read runs while it writes.
        QTest::newRow("4 MiB") << sh << "head -c 4194304 /dev/zero" << QByteArray() << QByteArray(4194304, '\0');
    }
    void theSynchronousRunnerAnswersOutputOnlyForSuccess() {
        QFETCH(QString, tool);
        QFETCH(QString, script);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);
        const auto out = NTSynchronousTask::task(
            tool, QString(), script.isNull() ? QStringList() : QStringList{QStringLiteral("-c"), script},
            input.isNull() ? std::nullopt : std::optional<QByteArray>(input), std::chrono::seconds(10));
        QCOMPARE(out.has_value(), !expected.isNull());
        if (out) QCOMPARE(*out, expected);
    }

    void theSynchronousRunnerUsesTheFolderLeaksNothingAndServesTheLoop() {
        bwv::test::QtTempDir dir;
        const auto pwd = [&](const QString &in) {
            return NTSynchronousTask::task(QStringLiteral("/bin/pwd"), in, {QStringLiteral("-P")}, std::nullopt);
        };
        QCOMPARE(pwd(dir.path()).value_or("").trimmed(), QFile::encodeName(QFileInfo(dir.path()).canonicalFilePath()));
        QVERIFY(!pwd(dir.filePath(QStringLiteral("missing"))));
        const int before = ::dup(0);
        ::close(before);
        for (int i = 0; i < 20; ++i)
            QVERIFY(NTSynchronousTask::task(QStringLiteral("/bin/cat"), QString(), {}, QByteArray("x")));
        // Reader threads let go of their ends shortly after their last delivery.
        QTRY_VERIFY_WITH_TIMEOUT(
            [] {
                const int f = ::dup(0);
                ::close(f);
                return f;
            }() <= before,
            30000);
        // Timers and notifications are delivered while it waits.
        int fired = 0, noticed = 0;
        NotificationCenter::defaultCenter().addObserver(
            this, [&](const Notification &) { ++noticed; }, QStringLiteral("Tick"));
        auto t = Timer::scheduledTimer(0.05, true, [&](Timer &) {
            NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("Tick")), ++fired;
        });
        QVERIFY(
            NTSynchronousTask::task(QStringLiteral("/bin/sleep"), QString(), {QStringLiteral("0.6")}, std::nullopt));
        t->invalidate();
        NotificationCenter::defaultCenter().removeObserver(this, QStringLiteral("Tick"));
        NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("Tick"));  // to nobody now
        QVERIFY2(fired >= 3 && noticed == fired, qPrintable(QString::number(fired)));
        // Tasks nobody waits for (the detach) are reaped, not left zombies.
        QVERIFY_THROWS_EXCEPTION(PlatformException,
                                 Task::launchedTaskWithLaunchPath(QStringLiteral("/nonexistent"), {}));
        // A write to a pipe whose reader has gone throws, without a SIGPIPE.
        const auto pipe = Pipe::pipe();
        pipe->fileHandleForWriting()->writeData(QByteArray("x"));
        pipe->fileHandleForReading()->closeFile();
        QVERIFY_THROWS_EXCEPTION(PlatformException, pipe->fileHandleForWriting()->writeData(QByteArray("y")));
        const pid_t pid = Task::launchedTaskWithLaunchPath(QStringLiteral("/bin/true"), {})->processIdentifier();
        QTRY_VERIFY_WITH_TIMEOUT(::kill(pid, 0) != 0, 30000);
    }
};

QTEST_MAIN(RunLoopTest)
#include "tst_runloop.moc"
