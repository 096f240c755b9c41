// Failure drills of the installation road, with the controller in-process and the real
// tool stand-ins linked into a private root: the real disk-image tool on real images, the
// real signature check on the demo packages, and the real opener, which hands packages to
// the Installer stand-in and records the hand-off. Each drill breaks one step and checks
// what the user is left with, and that nothing unverified reached the Installer.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <csignal>
#include <memory>

#include "app/AppController.h"
#include "tests/app/ControllerFixture.h"
#include "tests/app/UpdateLibraryDouble.h"

using namespace app_test;

namespace {

const QString kToolDir = QStringLiteral(BWV_TOOL_DIR);
const QString kDemoDir = QStringLiteral(BWV_DEMO_DIR);

QByteArray sha256Hex(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result().toHex();
}

QString demoImage() {
    const QStringList images =
        QDir(kDemoDir + QStringLiteral("/feed")).entryList({QStringLiteral("BrindleWaveFull-*.dmg")}, QDir::Files);
    return images.isEmpty() ? QString() : kDemoDir + QStringLiteral("/feed/") + images.first();
}

}  // namespace

class InstallDrills : public QObject, ControllerFixture {
    Q_OBJECT

    std::unique_ptr<bwv::test::TempRoot> rootDir_;
    QString root_;
    std::optional<ScopedEnv> tmpdir_;
    std::optional<ScopedEnv> stateDir_;
    upd_result record_{};

    QString downloadDir() const { return root_ + QStringLiteral("/usertmp/bwvupdate"); }
    QString imagePath() const { return downloadDir() + QLatin1Char('/') + QFileInfo(demoImage()).fileName(); }
    QString copiedPackage() const { return downloadDir() + QStringLiteral("/Install.mpkg"); }
    QString mountRoot() const { return root_ + QStringLiteral("/tmp"); }

    void linkTool(const QString &macosPath, const QString &tool) {
        QDir().mkpath(QFileInfo(root_ + macosPath).absolutePath());
        QVERIFY(QFile::link(kToolDir + QLatin1Char('/') + tool, root_ + macosPath));
    }

    void installTools(bool withOpener = true) {
        linkTool(QStringLiteral("/usr/bin/hdiutil"), QStringLiteral("hdiutil"));
        linkTool(QStringLiteral("/usr/sbin/pkgutil"), QStringLiteral("pkgutil"));
        if (withOpener) linkTool(QStringLiteral("/usr/bin/open"), QStringLiteral("open"));
    }

    // The update library's record of a finished download of `content`.
    void downloaded(const QByteArray &content) {
        writeFile(imagePath(), content);
        record_ = upd_double::downloaded(imagePath().toUtf8().constData(), "5.3.0");
        upret = &record_;
    }

    QByteArray demoImageBytes() {
        QFile f(demoImage());
        if (!f.open(QIODevice::ReadOnly)) return {};
        return f.readAll();
    }

    // An ISO 9660 image made the way the demo images are, from the given files.
    QByteArray makeImage(const QList<QPair<QString, QByteArray>> &files) {
        const QString stage = root_ + QStringLiteral("/stage");
        for (const auto &[name, content] : files) writeFile(stage + QLatin1Char('/') + name, content);
        const QString out = root_ + QStringLiteral("/made.iso");
        QProcess x;
        x.start(QStringLiteral("xorriso"), {QStringLiteral("-as"), QStringLiteral("mkisofs"), QStringLiteral("-quiet"),
                                            QStringLiteral("-V"), QStringLiteral("BRINDLEWAVE"), QStringLiteral("-J"),
                                            QStringLiteral("-R"), QStringLiteral("-o"), out, stage});
        if (!x.waitForFinished(60000) || x.exitCode() != 0) return {};
        QFile f(out);
        if (!f.open(QIODevice::ReadOnly)) return {};
        return f.readAll();
    }

    // Records of the Installer stand-ins: TIME TOOL EVENT PACKAGE DETAIL.
    QList<QStringList> installerLog() const {
        QList<QStringList> records;
        const QString text = readFile(root_ + QStringLiteral("/state/installer.log"));
        for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            records << line.split(QLatin1Char('\t'));
        return records;
    }

    QList<QStringList> handoffs() const {
        QList<QStringList> out;
        for (const auto &r : installerLog())
            if (r.size() > 2 && r.at(1) == QLatin1String("open")) out << r;
        return out;
    }

    void checkNothingHandedOver() {
        QVERIFY2(handoffs().isEmpty(), qPrintable(readFile(root_ + QStringLiteral("/state/installer.log"))));
        QCOMPARE(c_->terminations, 0);
    }

    // Mount points the controller made and left, still holding the image's files.
    QStringList attachedMountPoints() const {
        QStringList held;
        for (const QString &m : QDir(mountRoot()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            if (!QDir(mountRoot() + QLatin1Char('/') + m).isEmpty()) held << m;
        return held;
    }

private slots:
    void initTestCase() {
        QVERIFY2(QFileInfo(kToolDir + QStringLiteral("/hdiutil")).isExecutable(), qPrintable(kToolDir));
        QVERIFY2(!demoImage().isEmpty(), qPrintable(kDemoDir));
    }

    void init() {
        rootDir_ = std::make_unique<bwv::test::TempRoot>();
        QVERIFY(rootDir_->isValid());
        root_ = rootDir_->path();
        QDir().mkpath(mountRoot());
        QDir().mkpath(downloadDir());
        QDir().mkpath(root_ + QStringLiteral("/state"));
        tmpdir_.emplace("TMPDIR", (root_ + QStringLiteral("/usertmp/")).toUtf8());
        stateDir_.emplace("BWV_TOOLS_STATE_DIR", (root_ + QStringLiteral("/state")).toUtf8());

        upret = nullptr;
        bwvShutdownCancel = false;
        timecounter = 0;
        upd_double::reset();
        // An installed client that may be replaced while it runs: another program's agent
        // process never stands in the way here.
        writeFile(root_ + kSupportDir + QStringLiteral("/conf/bwvinfo"), "version=6.0.0\n");

        startRecording();
        openController();
        c_->btnInstall->setHidden(false);
    }

    void cleanup() {
        // Detaches and the Installer run unwaited; let them finish before the root goes.
        QTRY_VERIFY_WITH_TIMEOUT(attachedMountPoints().isEmpty(), 20000);
        for (const auto &h : handoffs()) {
            QTRY_VERIFY_WITH_TIMEOUT(
                [&] {
                    for (const auto &r : installerLog())
                        if (r.size() > 3 && r.at(1) == QLatin1String("installer") &&
                            r.at(2) == QLatin1String("result") && r.at(3) == h.at(3))
                            return true;
                    return false;
                }(),
                20000);
        }
        closeController();
        stopRecording();
        upret = nullptr;
        tmpdir_.reset();
        stateDir_.reset();
        rootDir_.reset();
    }

    // The drills below are only meaningful if this road reaches the Installer.
    void aVerifiedImageReachesTheInstaller() {
        installTools();
        downloaded(demoImageBytes());
        c_->installBrindleWave(c_->btnInstall);

        QVERIFY2(presenter_->alerts.empty(), qPrintable(alertTitles().join(QLatin1Char(','))));
        QCOMPARE(sink_->lines, QStringList{QStringLiteral("BrindleWave dmg file is mounted successfully: ") +
                                           downloadDir()});
        QCOMPARE(c_->terminations, 1);
        const auto given = handoffs();
        QCOMPARE(given.size(), 1);
        QCOMPARE(given.front().at(3), copiedPackage());
        QVERIFY(given.front().at(4).endsWith(
            QStringLiteral("sha256=") +
            QString::fromLatin1(sha256Hex(kDemoDir + QStringLiteral("/full/Install.mpkg")))));
    }

    void anImageHdiutilCannotAttachIsLoggedOnly_data() {
        QTest::addColumn<QByteArray>("image");
        const QByteArray real = demoImageBytes();
        QTest::newRow("cut short") << real.left(real.size() / 8);
        QTest::newRow("not a disk image") << QByteArray("<html>503 Service Unavailable</html>\n");
        QTest::newRow("empty file") << QByteArray();
    }
    void anImageHdiutilCannotAttachIsLoggedOnly() {
        QFETCH(QByteArray, image);
        installTools();
        downloaded(image);
        c_->installBrindleWave(c_->btnInstall);

        QCOMPARE(sink_->lines.size(), 2);
        QVERIFY2(sink_->lines.at(0).startsWith(QStringLiteral("Failed to run hdiutil: ") + imagePath() +
                                               QStringLiteral(", ") + mountRoot() + QLatin1Char('/')),
                 qPrintable(sink_->lines.join(QLatin1Char('\n'))));
        QCOMPARE(sink_->lines.at(1), QStringLiteral("Failed to extract files from BrindleWave dmg file!"));
        QVERIFY(presenter_->alerts.empty());
        QVERIFY(c_->btnInstall->isEnabled());
        QCOMPARE(QDir(mountRoot()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
        QCOMPARE(QDir(downloadDir()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{QFileInfo(imagePath()).fileName()});
        checkNothingHandedOver();
    }

    void anImageWithoutThePackageIsRefusedBeforeAnythingIsCopied() {
        installTools();
        const QByteArray image = makeImage({{QStringLiteral("ReadMe.txt"), "BrindleWave 5.3.0\n"}});
        QVERIFY(!image.isEmpty());
        downloaded(image);
        c_->installBrindleWave(c_->btnInstall);

        QCOMPARE(alertTitles(), QStringList{QStringLiteral("BrindleWave Verification Failed!")});
        QCOMPARE(sink_->lines, (QStringList{QStringLiteral("BrindleWave dmg file is mounted successfully: ") + downloadDir(),
                                            QStringLiteral("Failed to verify package"),
                                            QStringLiteral("Failed to extract files from BrindleWave dmg file!")}));
        QVERIFY(!c_->btnInstall->isEnabled());
        QVERIFY(!QFileInfo::exists(downloadDir() + QStringLiteral("/ReadMe.txt")));
        checkNothingHandedOver();
        // The image was detached again.
        QTRY_VERIFY_WITH_TIMEOUT(attachedMountPoints().isEmpty(), 20000);
    }

    // The package passes on the image, and the copy is altered before it is checked again
    // (a copy that went wrong, or someone writing into the download folder meanwhile).
    void aCopyThatFailsItsSignatureIsNeverHandedOver() {
        installTools();
        QFile::remove(root_ + QStringLiteral("/usr/sbin/pkgutil"));
        QByteArray wrapper =
            "log='" + root_.toUtf8() + "/pkgutil.log'\n"
            "echo \"$2\" >> \"$log\"\n"
            "case \"$2\" in\n"
            "'" + mountRoot().toUtf8() + "'/*) ;;\n"
            "*)\n"
            "  last=$(( $(stat -c %s \"$2\") - 1 ))\n"
            "  byte=$(od -An -tu1 -j \"$last\" -N1 \"$2\" | tr -d ' ')\n"
            "  printf \"$(printf '\\\\%03o' $(( byte ^ 1 )))\" | dd of=\"$2\" bs=1 seek=\"$last\" conv=notrunc 2>/dev/null ;;\n"
            "esac\n"
            "exec '" + kToolDir.toUtf8() + "/pkgutil' \"$@\"\n";
        bwv::test::writeFakeTool(root_ + QStringLiteral("/usr/sbin/pkgutil"), wrapper);
        downloaded(demoImageBytes());
        c_->installBrindleWave(c_->btnInstall);

        const QStringList checked = readFile(root_ + QStringLiteral("/pkgutil.log")).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(checked.size(), 2);
        QVERIFY(checked.at(0).startsWith(mountRoot() + QLatin1Char('/')));
        QCOMPARE(checked.at(1), copiedPackage());
        QVERIFY(sha256Hex(copiedPackage()) != sha256Hex(kDemoDir + QStringLiteral("/full/Install.mpkg")));

        QCOMPARE(alertTitles(), QStringList{QStringLiteral("BrindleWave Verification Failed!")});
        QCOMPARE(presenter_->alerts.front().message,
                 QStringLiteral("Failed to verify the signature of the downloaded installer. The package may be "
                                "corrupted or has been modified by a third party."));
        QCOMPARE(sink_->lines, (QStringList{QStringLiteral("BrindleWave dmg file is mounted successfully: ") + downloadDir(),
                                            QStringLiteral("Failed to verify package")}));
        QVERIFY(!c_->btnInstall->isEnabled());
        checkNothingHandedOver();
    }

    void aMissingOpenerStopsWithTheVerifiedCopyInPlace() {
        installTools(false);
        downloaded(demoImageBytes());
        c_->installBrindleWave(c_->btnInstall);

        QCOMPARE(alertTitles(), QStringList{QStringLiteral("BrindleWave Installation Failed!")});
        QCOMPARE(presenter_->alerts.front().message, QStringLiteral("Failed to open BrindleWave installer."));
        QCOMPARE(sink_->lines.size(), 2);
        QVERIFY(sink_->lines.at(1).startsWith(QStringLiteral("File does not exist: ")));
        QVERIFY(sink_->lines.at(1).endsWith(QStringLiteral("/usr/bin/open")));
        QVERIFY(!c_->btnInstall->isEnabled());
        QCOMPARE(sha256Hex(copiedPackage()), sha256Hex(kDemoDir + QStringLiteral("/full/Install.mpkg")));
        checkNothingHandedOver();
    }
};

QTEST_MAIN(InstallDrills)
#include "test_drills_install.moc"
