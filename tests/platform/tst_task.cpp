// Tasks, pipes and file handles.
#include <QtTest>

#include <csignal>
#include <fstream>
#include <sys/wait.h>

#include "platform/qt/notification.hpp"
#include "platform/qt/task.hpp"
#include "support/temp_root.hpp"

using namespace bwv::platform;

namespace {

// The state letter of a process in /proc, or '\0' when it no longer exists.
char processState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return '\0';
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? '\0' : line[close + 2];
}

}  // namespace

class TaskTest : public QObject {
    Q_OBJECT

private slots:
    void aLaunchFailureIsAnExceptionAndStartsNothing() {
        auto task = Task::create();
        auto out = Pipe::pipe();
        task->setLaunchPath(QStringLiteral("/nonexistent/tool"));
        task->setStandardOutput(out);
        try {
            task->launch();
            QFAIL("launch of a missing tool succeeded");
        } catch (const PlatformException &e) {
            QCOMPARE(QByteArray(e.name().c_str()), QByteArray("NSInvalidArgumentException"));
        }
        QVERIFY(!task->isRunning());
        // The pipe's ends were left as they were.
        QVERIFY(out->fileHandleForWriting()->fileDescriptor() >= 0);
        QVERIFY_THROWS_EXCEPTION(PlatformException, task->terminationStatus());
    }

    void terminationIsReportedOnTheRunLoopWithTheExitStatus() {
        auto task = Task::create();
        task->setLaunchPath(QStringLiteral("/bin/sh"));
        task->setArguments({QStringLiteral("-c"), QStringLiteral("exit 7")});
        int reports = 0;
        NotificationCenter::defaultCenter().addObserver(this, [&](const Notification &n) {
            QCOMPARE(n.object, static_cast<const void *>(task.get()));
            ++reports;
        }, QString::fromLatin1(Task::kDidTerminateNotification), task.get());
        task->launch();
        QVERIFY(task->processIdentifier() > 0);
        QVERIFY(task->isRunning());
        QCOMPARE(reports, 0);  // never synchronously from launch
        QTRY_COMPARE_WITH_TIMEOUT(reports, 1, 10000);
        QVERIFY(!task->isRunning());
        QCOMPARE(task->terminationStatus(), 7);
        NotificationCenter::defaultCenter().removeObserver(this);
    }

    void aLaunchedChildStartsWithDefaultSignalDispositions() {
        // The application ignores SIGTERM in one of its modes; its tools must not.
        auto previous = std::signal(SIGTERM, SIG_IGN);
        auto task = Task::create();
        task->setLaunchPath(QStringLiteral("/bin/sh"));
        task->setArguments({QStringLiteral("-c"), QStringLiteral("kill -TERM $$; sleep 5")});
        task->launch();
        std::signal(SIGTERM, previous);
        QTRY_VERIFY_WITH_TIMEOUT(!task->isRunning(), 10000);
        QCOMPARE(task->terminationStatus(), SIGTERM);
    }

    void aToolStartedWithoutWaitingIsReapedNotLeftAZombie() {
        auto task = Task::launchedTaskWithLaunchPath(QStringLiteral("/bin/true"), {});
        const pid_t pid = task->processIdentifier();
        task.reset();  // nobody waits for it
        QTRY_COMPARE_WITH_TIMEOUT(processState(pid), '\0', 10000);
    }

    void writingToAGoneReaderRaisesInsteadOfKillingTheApplication() {
        auto pipe = Pipe::pipe();
        pipe->fileHandleForReading()->closeFile();
        QVERIFY_THROWS_EXCEPTION(PlatformException, pipe->fileHandleForWriting()->writeData("data"));
        pipe->fileHandleForWriting()->closeFile();
        QVERIFY_THROWS_EXCEPTION(PlatformException, pipe->fileHandleForWriting()->writeData("data"));
    }

    void aBackgroundReadHandsAllBytesBackThroughTheRunLoop() {
        auto pipe = Pipe::pipe();
        auto reader = pipe->fileHandleForReading();
        QByteArray got;
        int reports = 0;
        NotificationCenter::defaultCenter().addObserver(this, [&](const Notification &n) {
            got = n.userInfo.value(QString::fromLatin1(FileHandle::kNotificationDataItem)).toByteArray();
            ++reports;
        }, QString::fromLatin1(FileHandle::kReadToEndOfFileCompletionNotification), reader.get());
        reader->readToEndOfFileInBackgroundAndNotify(RunLoopModes::all());
        QByteArray sent(300000, 'q');
        std::thread writer([w = pipe->fileHandleForWriting(), sent] {
            w->writeData(sent);
            w->closeFile();
        });
        QTRY_COMPARE_WITH_TIMEOUT(reports, 1, 10000);
        writer.join();
        QCOMPARE(got, sent);
        NotificationCenter::defaultCenter().removeObserver(this);
    }

    void theEndOfAReadArrivesInsideAModalPanelButDefaultOnlyWorkWaits() {
        auto pipe = Pipe::pipe();
        auto reader = pipe->fileHandleForReading();
        int reads = 0, defaultOnly = 0;
        NotificationCenter::defaultCenter().addObserver(this, [&](const Notification &) { ++reads; },
            QString::fromLatin1(FileHandle::kReadToEndOfFileCompletionNotification), reader.get());
        {
            RunLoop::ModeScope modal(RunLoopMode::ModalPanel);
            reader->readToEndOfFileInBackgroundAndNotify(RunLoopModes::all());
            RunLoop::current().perform(RunLoopMode::Default, [&] { ++defaultOnly; });
            pipe->fileHandleForWriting()->writeData("bytes");
            pipe->fileHandleForWriting()->closeFile();
            QTRY_COMPARE_WITH_TIMEOUT(reads, 1, 10000);
            QTest::qWait(50);
            QCOMPARE(defaultOnly, 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(defaultOnly, 1, 5000);
        NotificationCenter::defaultCenter().removeObserver(this);
    }
};

QTEST_MAIN(TaskTest)
#include "tst_task.moc"
