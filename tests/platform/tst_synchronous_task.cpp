// The synchronous task runner, with small shell tools as the child processes.
#include <QtTest>

#include <unistd.h>

#include "support/temp_root.hpp"
#include "system/qt/NTSynchronousTask.h"

namespace {

std::optional<QByteArray> sh(const QString &script, const std::optional<QByteArray> &input = std::nullopt,
                             const QString &dir = QString()) {
    return NTSynchronousTask::task(QStringLiteral("/bin/sh"), dir, {QStringLiteral("-c"), script}, input);
}

}  // namespace

class SynchronousTaskTest : public QObject {
    Q_OBJECT

private slots:
    void aSilentSuccessfulToolGivesEmptyDataNotNone() {
        const auto out = NTSynchronousTask::task(QStringLiteral("/bin/true"), QString(), {}, std::nullopt);
        QVERIFY(out.has_value());
        QVERIFY(out->isEmpty());
    }

    void theOutputOfASuccessfulToolComesBackWithItsArguments() {
        const auto out = NTSynchronousTask::task(QStringLiteral("/bin/echo"), QString(),
                                                 {QStringLiteral("a b"), QStringLiteral("c")}, std::nullopt);
        QVERIFY(out.has_value());
        QCOMPARE(*out, QByteArray("a b c\n"));
    }

    void aNonZeroStatusGivesNoneEvenWithOutput() {
        QVERIFY(!sh(QStringLiteral("echo partial; exit 3")).has_value());
    }

    void aToolKilledByASignalGivesNone() {
        QVERIFY(!sh(QStringLiteral("echo x; kill -9 $$")).has_value());
    }

    void aMissingOrNonExecutableLaunchPathGivesNoneAtOnce() {
        bwv::test::QtTempDir dir;
        const QString notExec = dir.writeFile(QStringLiteral("tool"), "#!/bin/sh\necho hi\n", 0644);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!NTSynchronousTask::task(dir.filePath(QStringLiteral("missing")), QString(), {}, std::nullopt));
        QVERIFY(!NTSynchronousTask::task(notExec, QString(), {}, std::nullopt));
        QVERIFY(!NTSynchronousTask::task(QString(), QString(), {}, std::nullopt));
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
    }

    void aFailedLaunchLeavesTheRunnerUntouched() {
        NTSynchronousTask runner;
        runner.run(QStringLiteral("/nonexistent/tool"), QString(), {}, QByteArray("yes\n"));
        QVERIFY(!runner.done());
        QVERIFY(!runner.output().has_value());
        QCOMPARE(runner.result(), 0);
        QVERIFY(!runner.terminated());
    }

    void inputReachesAToolThatReadsToEndOfFile() {
        // cat only ends once it has seen end of file after the bytes.
        const auto out = NTSynchronousTask::task(QStringLiteral("/bin/cat"), QString(), {}, QByteArray("yes\n"));
        QVERIFY(out.has_value());
        QCOMPARE(*out, QByteArray("yes\n"));
        const auto confirmed = sh(QStringLiteral("read answer; [ \"$answer\" = yes ] && echo confirmed"),
                                  QByteArray("yes\n"));
        QVERIFY(confirmed.has_value());
        QCOMPARE(*confirmed, QByteArray("confirmed\n"));
    }

    void outputFarBeyondAPipeBufferArrivesWhole() {
        // 4 MiB: many times any pipe buffer, so the tool blocks unless the read runs
        // while it writes.
        const auto out = sh(QStringLiteral("head -c 4194304 /dev/zero | tr '\\0' 'x'; echo end"));
        QVERIFY(out.has_value());
        QCOMPARE(out->size(), 4194304 + 4);
        QVERIFY(out->endsWith("xend\n"));
        QCOMPARE(out->count('x'), 4194304);
    }

    void standardErrorIsNotInTheResult() {
        const auto out = sh(QStringLiteral("echo to-err >&2; echo to-out"));
        QVERIFY(out.has_value());
        QCOMPARE(*out, QByteArray("to-out\n"));
    }

    void theWorkingDirectoryIsUsedAndOtherwiseInherited() {
        bwv::test::QtTempDir dir;
        const auto there = sh(QStringLiteral("pwd -P"), std::nullopt, dir.path());
        QVERIFY(there.has_value());
        QCOMPARE(QString::fromUtf8(there->trimmed()), QFileInfo(dir.path()).canonicalFilePath());
        const auto here = sh(QStringLiteral("pwd -P"));
        QVERIFY(here.has_value());
        QCOMPARE(QString::fromUtf8(here->trimmed()), QDir::current().canonicalPath());
        QVERIFY(!sh(QStringLiteral("pwd"), std::nullopt, dir.filePath(QStringLiteral("missing"))));
    }

    void aToolThatClosesItsOutputAndThenFailsGivesNone() {
        // The output ends long before the tool does; its real status must still decide.
        QVERIFY(!sh(QStringLiteral("echo early; exec >&-; sleep 0.3; exit 1")).has_value());
        const auto ok = sh(QStringLiteral("echo early; exec >&-; sleep 0.3; exit 0"));
        QVERIFY(ok.has_value());
        QCOMPARE(*ok, QByteArray("early\n"));
    }

    void aToolThatIgnoresItsInputIsJudgedByItsStatus() {
        // The tool is gone before the input is written: no SIGPIPE ends this test program.
        QByteArray big(1 << 20, 'y');
        QVERIFY(sh(QStringLiteral("exec 0<&-; exit 0"), big).has_value());
        QVERIFY(!sh(QStringLiteral("exec 0<&-; exit 2"), big).has_value());
    }

    void withoutInputTheToolStillGetsAPipeAndTheRunEnds() {
        const auto out = sh(QStringLiteral("[ -p /dev/stdin ] && echo pipe"));
        QVERIFY(out.has_value());
        QCOMPARE(*out, QByteArray("pipe\n"));
    }

    void repeatedRunsLeakNoDescriptors() {
        auto nextFree = [] {
            const int f = ::dup(0);
            ::close(f);
            return f;
        };
        const int before = nextFree();
        for (int i = 0; i < 20; ++i) {
            QVERIFY(sh(QStringLiteral("true"), QByteArray("x")).has_value());
            QVERIFY(sh(QStringLiteral("true")).has_value());
        }
        // Reader threads let go of their ends shortly after their last delivery; ends
        // left by earlier cases may close meanwhile, so the lowest free slot can only
        // stay or drop.
        QTRY_VERIFY_WITH_TIMEOUT(nextFree() <= before, 5000);
    }
};

QTEST_MAIN(SynchronousTaskTest)
#include "tst_synchronous_task.moc"
