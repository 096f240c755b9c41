#include "app/AppController.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QIcon>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QWidget>

#include <bwvutil/custom.h>
#include <bwvutil/ps_utils.h>
#include <bwvutil/verify.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "lib/base/launch.hpp"
#include "lib/base/version.hpp"
#include "app/product_name/string_bwv.hpp"
#include "lib/core/paths.hpp"
#include "app/framework/alert.hpp"
#include "app/framework/applescript.hpp"
#include "app/framework/bundle.hpp"
#include "app/framework/filemanager.hpp"
#include "app/framework/log.hpp"
#include "app/framework/runloop.hpp"
#include "app/framework/strings.hpp"
#include "app/framework/task.hpp"
#include "app/task/NTSynchronousTask.h"
#include "tools/standins/xar/facts.hpp"
#include "ui_MainWindow.h"

using bwv::platform::appendingPathComponent;
using bwv::platform::deletingLastPathComponent;
using bwv::platform::FileManager;
using bwv::platform::Timer;

bool autoCheckMode = false;
bool upgradeMode = false;
upd_result *upret = nullptr;
bool bwvShutdownCancel = false;
int32_t timecounter = 0;

namespace {

const QString kCancelShutdownNotification = QStringLiteral("CancelBrindleWaveShutdown");
const QString kShutdownNotification = QStringLiteral("BrindleWaveShutdown");
constexpr const char *kAgentProcess = "BrindleWaveAgent";
const QString kFullInstallerBundle = QStringLiteral("BrindleWaveFullInstaller.app");
const QString kPackageName = QStringLiteral("Install.mpkg");
const QString kInstallerBundleId = QStringLiteral("com.apple.installer");
const QString kAgentActivationScript = QStringLiteral("tell application \"BrindleWaveAgent\"\nactivate\nend tell\n");
constexpr int kShutdownPollLimit = 10;
constexpr double kPollInterval = 1.0;

QString fixedPath(std::string_view macosPath) { return QString::fromStdString(bwv::paths::fixed(macosPath)); }

// The library's texts are fixed-size fields; a missing terminator must not run past one.
template <size_t N>
QString fieldText(const char (&field)[N]) {
    return QString::fromUtf8(field, static_cast<qsizetype>(strnlen(field, N)));
}

// Leading integer of a version piece: blanks and a sign allowed, digits up to the first
// other character, 0 without digits, held to the 32-bit range.
int32_t leadingInt(const QString &piece) {
    qsizetype i = 0;
    while (i < piece.size() && piece.at(i).isSpace()) ++i;
    bool negative = false;
    if (i < piece.size() && (piece.at(i) == QLatin1Char('+') || piece.at(i) == QLatin1Char('-'))) {
        negative = piece.at(i) == QLatin1Char('-');
        ++i;
    }
    int64_t value = 0;
    for (; i < piece.size(); ++i) {
        QChar c = piece.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) break;
        value = value * 10 + (c.unicode() - '0');
        if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}

// The product's mark, drawn rather than shipped so it stays sharp at any scale: two
// white waves on a blue tile.
QPixmap productIcon(int size, qreal scale) {
    QPixmap pixmap(QSize(size, size) * scale);
    pixmap.setDevicePixelRatio(scale);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QLinearGradient tile(0, 0, 0, s);
    tile.setColorAt(0.0, QColor(0x3a, 0xa8, 0xe8));
    tile.setColorAt(1.0, QColor(0x12, 0x4c, 0x96));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(1, 1, s - 2, s - 2), s * 0.22, s * 0.22);
    p.setBrush(Qt::NoBrush);
    for (int k = 0; k < 2; ++k) {
        const qreal y = s * (0.42 + 0.2 * k);
        QPainterPath wave;
        wave.moveTo(s * 0.18, y);
        wave.cubicTo(s * 0.30, y - s * 0.13, s * 0.40, y - s * 0.13, s * 0.50, y);
        wave.cubicTo(s * 0.60, y + s * 0.13, s * 0.70, y + s * 0.13, s * 0.82, y);
        p.setPen(QPen(QColor(255, 255, 255, k == 0 ? 255 : 190), s * 0.075, Qt::SolidLine, Qt::RoundCap));
        p.drawPath(wave);
    }
    return pixmap;
}

}  // namespace

AppController::AppController() = default;

AppController::~AppController() {
    bwv::platform::DistributedNotificationCenter::defaultCenter().removeObserver(this, kCancelShutdownNotification);
    bwv::platform::NotificationCenter::defaultCenter().removeObserver(this);
    // The application ends right after handing the package over, usually before its last
    // detach has: give each a while to finish, so that its mount point can go too.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (const PendingDetach &d : pendingDetaches_) {
        const QByteArray path = QFile::encodeName(d.mountPoint);
        while (::rmdir(path.constData()) != 0 && (errno == ENOTEMPTY || errno == EEXIST || errno == EBUSY) &&
               ::kill(d.task->processIdentifier(), 0) == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void AppController::connectOutlets(Ui::MainWindow &form, QWidget &window) {
    piCheckProgress = bwv::platform::ProgressIndicator(form.piCheckProgress);
    tfNotice = form.tfNotice;
    btnCancel = form.btnCancel;
    btnInstall = form.btnInstall;
    btnDownload = form.btnDownload;
    mainWindow = &window;

    // The window definition carries English captions; they are keys like every other text.
    const auto &bundle = bwv::platform::Bundle::mainBundle();
    for (QPushButton *button : {btnCancel, btnInstall, btnDownload})
        button->setText(bundle.localizedString(button->text()));
    const qreal scale = window.devicePixelRatioF();
    form.lblIcon->setPixmap(productIcon(52, scale));
    window.setWindowIcon(QIcon(productIcon(64, 1.0)));
    // Return takes the window's next step and Escape does what its Cancel button does,
    // wherever the focus is.
    using bwv::platform::setKeyEquivalents;
    setKeyEquivalents(btnInstall, bwv::platform::kReturnKey);
    setKeyEquivalents(btnDownload, bwv::platform::kReturnKey);
    setKeyEquivalents(btnCancel, bwv::platform::kEscapeKey);
    connect(btnDownload, &QPushButton::clicked, this, [this] { downloadBrindleWave(btnDownload); });
    connect(btnInstall, &QPushButton::clicked, this, [this] { installBrindleWave(btnInstall); });
    connect(btnCancel, &QPushButton::clicked, this, [this] {
        waitForDetach();
        terminateApplication();
    });
}

QString AppController::mainBundlePath() const { return bwv::platform::Bundle::mainBundle().bundlePath(); }

QStringList AppController::processArguments() const { return bwv::platform::ProcessInfo::arguments(); }

void AppController::terminateApplication() {
    if (auto *app = bwv::platform::Application::shared()) app->terminate();
}

void AppController::exitProcess(int status) { std::exit(status); }

QString AppController::localizedText(const char *key) {
    return bwv::stringbyReplacingProduceName(
        bwv::platform::Bundle::mainBundle().localizedString(QString::fromUtf8(key)));
}

QString AppController::productSuffix() const { return isVPN ? QStringLiteral(" VPN") : QString(); }

void AppController::showNotice(const QString &text) {
    if (tfNotice) tfNotice->setText(text);
}

void AppController::alert(const char *title, const char *message) {
    bwv::platform::runCriticalAlertPanel(localizedText(title), formatText(localizedText(message), {}),
                                         bwv::platform::Bundle::mainBundle().localizedString(QStringLiteral("OK")));
}

void AppController::log(const char *text, const QStringList &args) {
    bwv::platform::logLine(formatText(QString::fromUtf8(text), args));
}

Timer *AppController::schedulePoll(void (AppController::*poll)(Timer &)) {
    auto timer = Timer::scheduledTimer(kPollInterval, true, [this, poll](Timer &t) { (this->*poll)(t); });
    return timer.get();
}

bool AppController::applicationShouldTerminateAfterLastWindowClosed() { return true; }

void AppController::awakeFromNib() {
    load_providers();
    isVPN = 0;
    bwv::platform::DistributedNotificationCenter::defaultCenter().addObserver(
        this, [this](const bwv::platform::Notification &n) { handleNotification(&n); }, kCancelShutdownNotification);

    const QString productName = QString::fromUtf8(get_bwvpname());
    if (mainWindow) mainWindow->setWindowTitle(productName);

    const bool fullInstaller = QFileInfo(mainBundlePath()).fileName() == kFullInstallerBundle;
    if (fullInstaller) set_full_version();

    for (const QString &arg : processArguments()) {
        if (arg == QLatin1String("AutoCheckMode")) {
            autoCheckMode = true;
            break;
        }
        if (arg == QLatin1String("upgradeMode")) {
            upgradeMode = true;
            break;
        }
    }

    if ((autoCheckMode || upgradeMode) && access(bwv::paths::fixed(bwv::paths::kUpdateTool).c_str(), X_OK) != 0) {
        exitProcess(0);
        return;
    }

    if (!autoCheckMode && mainWindow) {
        bwv::platform::makeKeyAndOrderFront(mainWindow);
        bwv::platform::setWindowLevel(mainWindow, bwv::platform::kFloatingWindowLevel);
    }

    // Without a temporary folder of the user's own there is no work path, and the update
    // library answers every download with its own failure. An old work folder that is not
    // the user's alone is left as it is, for the library to refuse.
    const QString temporary = bwv::platform::temporaryDirectory();
    const QString workPath =
        temporary.isEmpty() ? QString() : appendingPathComponent(temporary, QStringLiteral("bwvupdate"));
    if (FileManager::isPrivateItemAtPath(workPath)) FileManager::removeItemAtPath(workPath);
    upd_init(workPath.toUtf8().constData());

    if (!autoCheckMode && !upgradeMode) {
        std::signal(SIGTERM, SIG_IGN);
        prepareContentForLightInstaller();
        if (fullInstaller) {
            if (mainWindow) mainWindow->setWindowTitle(productName);
        } else {
            if (mainWindow) mainWindow->setWindowTitle(productName + QStringLiteral(" VPN"));
            isVPN = 1;
        }
    } else {
        checkForNewVersion(nullptr);
    }
}

void AppController::prepareContentForLightInstaller() {
    piCheckProgress.setIndeterminate(false);
    btnCancel->setHidden(true);
    btnDownload->setHidden(true);
    showNotice(QString());
    downloadBrindleWave(nullptr);
}

void AppController::handleNotification(const bwv::platform::Notification *notification) {
    if (notification && notification->name == kCancelShutdownNotification) bwvShutdownCancel = true;
}

QString AppController::curBwvVersion() { return QString::asprintf("%d.%d.%d", 7, 4, 1); }

QString AppController::downloadBwvVersion() {
    if (!upret) return QString();
    return fieldText(upret->version);
}

void AppController::checkForNewVersion(QObject *) {
    piCheckProgress.startAnimation();
    upd_check_bwn_update(bwv::upd::kCheck);
    updateTimer = schedulePoll(&AppController::checkNewVersionTimerFired);
    updateTimer->fire();
}

void AppController::checkNewVersionTimerFired(Timer &) {
    upret = upd_check_bwn_update(bwv::upd::kPoll);
    if (!upret || upret->state != bwv::upd::kFinished) return;

    if (updateTimer) updateTimer->invalidate();
    updateTimer = nullptr;
    piCheckProgress.stopAnimation();

    if (upret->error_code != 0) {
        showNotice(fieldText(upret->error_text));
        btnDownload->setHidden(true);
        btnInstall->setHidden(true);
        btnCancel->setHidden(false);
    } else if (upret->has_new_version != 0) {
        showNotice(
            formatText(localizedText("BrindleWave%@ %s is available"), {productSuffix(), fieldText(upret->version)}));
        piCheckProgress.setIndeterminate(false);
        btnCancel->setHidden(true);
        btnDownload->setHidden(false);
    } else {
        showNotice(formatText(localizedText("BrindleWave%@ is up to date"), {productSuffix()}));
        btnCancel->setText(bwv::platform::Bundle::mainBundle().localizedString(QStringLiteral("OK")));
        // Nothing is left to do: acknowledging is the next step.
        bwv::platform::setKeyEquivalents(btnCancel, bwv::platform::kReturnKey | bwv::platform::kEscapeKey);
    }

    if (autoCheckMode) {
        if (upret->has_new_version != 0) {
            if (mainWindow) {
                bwv::platform::makeKeyAndOrderFront(mainWindow);
                bwv::platform::setWindowLevel(mainWindow, bwv::platform::kFloatingWindowLevel);
            }
        } else {
            terminateApplication();
        }
    }
}

void AppController::downloadBrindleWave(QObject *) {
    piCheckProgress.setMaxValue(500.0);
    piCheckProgress.setMinValue(0.0);
    btnDownload->setEnabled(false);
    showNotice(formatText(localizedText("Downloading BrindleWave%@ %@"), {productSuffix(), downloadBwvVersion()}));
    upd_check_bwn_update((autoCheckMode || upgradeMode) ? bwv::upd::kDownload : bwv::upd::kLightDownload);
    updateTimer = schedulePoll(&AppController::downloadTimerFired);
    updateTimer->fire();
}

void AppController::downloadTimerFired(Timer &) {
    upret = upd_check_bwn_update(bwv::upd::kPoll);
    if (!upret) return;
    piCheckProgress.setDoubleValue(static_cast<double>(upret->progress));
    if (upret->state != bwv::upd::kFinished) return;

    if (updateTimer) updateTimer->invalidate();
    updateTimer = nullptr;

    if (upret->error_code != 0) {
        showNotice(fieldText(upret->error_text));
        btnDownload->setHidden(true);
        btnInstall->setHidden(true);
        btnCancel->setText(bwv::platform::Bundle::mainBundle().localizedString(QStringLiteral("OK")));
        bwv::platform::setKeyEquivalents(btnCancel, bwv::platform::kReturnKey | bwv::platform::kEscapeKey);
        btnCancel->setHidden(false);
    } else {
        showNotice(
            formatText(localizedText("BrindleWave%@ %@ is downloaded"), {productSuffix(), downloadBwvVersion()}));
        btnDownload->setHidden(true);
        btnInstall->setHidden(false);
    }
    btnDownload->setEnabled(true);
}

void AppController::installBrindleWave(QObject *) {
    if (ps_get_pid(kAgentProcess) > 0 && !isSupportShutdown()) {
        alert("BrindleWave is running!", "Please shutdown BrindleWave, then install again");
        return;
    }

    const QString dmgPath = upret ? fieldText(upret->file_path) : QString();
    if (dmgPath.isEmpty()) {
        log("Download Brindlewave dmg file is not found!");
        return;
    }

    const QString targetPath = deletingLastPathComponent(dmgPath);
    if (!extractFilesFromDMG(dmgPath, targetPath)) return;

    const QString packagePath = appendingPathComponent(targetPath, kPackageName);
    if (!FileManager::isReadableFileAtPath(packagePath)) {
        log("%@ is not found in the extracted files", {kPackageName});
        return;
    }

    if (installPKG(packagePath)) {
        waitForDetach();
        terminateApplication();
    }
}

void AppController::waitForDetach() {
    bwv::platform::RunLoop &loop = bwv::platform::RunLoop::current();
    auto running = [this] {
        return std::any_of(pendingDetaches_.begin(), pendingDetaches_.end(),
                           [](const PendingDetach &d) { return d.task->isRunning(); });
    };
    while (running()) {
        if (!loop.runModeBeforeDate(bwv::platform::RunLoopMode::Default, 1.0)) break;
    }
}

bool AppController::extractFilesFromDMG(const QString &dmgPath, const QString &targetPath) {
    const QString mountPoint =
        appendingPathComponent(fixedPath(bwv::paths::kTmp), bwv::platform::ProcessInfo::globallyUniqueString());

    if (FileManager::fileExistsAtPath(mountPoint)) {
        log("Mount point existed!");
        log("Failed to extract files from BrindleWave dmg file!");
        return false;  // the name is new, so only another account's entry is here
    }

    auto failBeforeAttach = [&] {
        log("Failed to extract files from BrindleWave dmg file!");
        FileManager::removeItemAtPath(mountPoint);
        return false;
    };

    // The image's files are shown to this user alone, whatever the umask; a folder that
    // someone else made in between is not ours to use or to remove.
    FileManager::createDirectoryAtPath(deletingLastPathComponent(mountPoint), true);
    const QByteArray mountPath = QFile::encodeName(mountPoint);
    if (::mkdir(mountPath.constData(), 0700) != 0 || ::chmod(mountPath.constData(), 0700) != 0) {
        const bool ours = errno != EEXIST;
        log("Failed to create mount point!");
        if (ours) return failBeforeAttach();
        log("Failed to extract files from BrindleWave dmg file!");
        return false;
    }

    const QString hdiutil = fixedPath(bwv::paths::kHdiutil);
    const auto attached = NTSynchronousTask::task(
        hdiutil, QStringLiteral("/"),
        {QStringLiteral("attach"), dmgPath, QStringLiteral("-mountpoint"), mountPoint, QStringLiteral("-noverify"),
         QStringLiteral("-nobrowse"), QStringLiteral("-noautoopen")},
        QByteArray("yes\n", 4), bwv::launch::kAttachDeadline);
    if (!attached) {
        log("Failed to run hdiutil: %@, %@", {dmgPath, mountPoint});
        return failBeforeAttach();
    }

    log("BrindleWave dmg file is mounted successfully: %@", {targetPath});

    bool result = true;
    if (!verifyPackage(formatText(QStringLiteral("%@/%@"), {mountPoint, kPackageName}))) {
        log("Failed to extract files from BrindleWave dmg file!");
        result = false;
    } else if (const auto entries = FileManager::contentsOfDirectoryAtPath(mountPoint)) {
        for (const QString &entry : *entries) {
            const QString from = appendingPathComponent(mountPoint, entry);
            if (!FileManager::isReadableFileAtPath(from)) continue;
            if (!FileManager::copyItemAtPath(from, appendingPathComponent(targetPath, entry))) {
                log("Failed to extract files from BrindleWave disk image.");
                log("Failed to extract files from BrindleWave dmg file!");
                result = false;
                break;
            }
        }
    }

    try {
        removeMountPointAfter(bwv::platform::Task::launchedTaskWithLaunchPath(
                                  hdiutil, {QStringLiteral("detach"), mountPoint, QStringLiteral("-force")},
                                  bwv::launch::kDetachDeadline),
                              mountPoint);
    } catch (const bwv::platform::PlatformException &) {
        // A detach that cannot start leaves the image attached, and its mount point with
        // it; the installation itself has its answer already.
    }
    return result;
}

// Only an emptied mount point goes: a detach that failed leaves the volume's files, which
// are not the installer's to delete.
void AppController::removeMountPointAfter(std::shared_ptr<bwv::platform::Task> detach, const QString &mountPoint) {
    const void *key = detach.get();
    pendingDetaches_.push_back({std::move(detach), mountPoint});
    bwv::platform::NotificationCenter::defaultCenter().addObserver(
        this,
        [this, key](const bwv::platform::Notification &) {
            bwv::platform::NotificationCenter::defaultCenter().removeObserver(
                this, QString::fromLatin1(bwv::platform::Task::kDidTerminateNotification), key);
            for (auto it = pendingDetaches_.begin(); it != pendingDetaches_.end(); ++it) {
                if (it->task.get() != key) continue;
                ::rmdir(QFile::encodeName(it->mountPoint).constData());
                pendingDetaches_.erase(it);
                break;
            }
        },
        QString::fromLatin1(bwv::platform::Task::kDidTerminateNotification), key);
}

bool AppController::verifyPackage(const QString &packagePath) {
    if (::verifyPackage(packagePath.toUtf8().constData()) != 0) return true;
    return refusePackage();
}

bool AppController::refusePackage() {
    log("Failed to verify package");
    alert("BrindleWave Verification Failed!",
          "Failed to verify the signature of the downloaded installer. The package may be "
          "corrupted or has been modified by a third party.");
    btnInstall->setEnabled(false);
    return false;
}

bool AppController::installPKG(const QString &packagePath) {
    // The copy is handed over by its path after the check, so it and its folder must be ones
    // no other account could swap or change in between.
    if (!FileManager::isPrivateItemAtPath(packagePath) ||
        !FileManager::isPrivateItemAtPath(deletingLastPathComponent(packagePath)))
        return refusePackage();
    if (!verifyPackage(packagePath)) return false;
    if (!isPackageOffered(packagePath)) return false;

    const QString opener = fixedPath(bwv::paths::kOpen);
    if (!FileManager::fileExistsAtPath(opener)) {
        // Named as the system knows it, wherever a test root or a stand-in puts it.
        log("File does not exist: %@", {QString::fromUtf8(bwv::paths::kOpen.data(), bwv::paths::kOpen.size())});
        alert("BrindleWave Installation Failed!", "Failed to open BrindleWave installer.");
        btnInstall->setEnabled(false);
        return false;
    }

    std::vector<std::string> words = {opener.toStdString(), "-n", "-b", kInstallerBundleId.toStdString(),
                                      packagePath.toUtf8().toStdString()};
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    ps_runtool(argv.data(), nullptr, nullptr);
    return true;
}

bool AppController::isPackageOffered(const QString &packagePath) {
    using bwv::pkg::Verdict;
    const auto facts = bwv::pkg::read_facts(packagePath.toUtf8().toStdString());
    // Read now, not at start-up: a client updated meanwhile counts.
    const QString installed = installedBwvVersion();
    const bool full = QFileInfo(mainBundlePath()).fileName() == kFullInstallerBundle;
    const bool repairAllowed = !autoCheckMode && !upgradeMode;
    const Verdict verdict =
        facts
            ? bwv::pkg::judge(*facts, bwv::pkg::product(full), downloadBwvVersion().toStdString(),
                              installed.isNull() ? std::nullopt : std::optional(installed.toStdString()), repairAllowed)
            : Verdict::no_version;
    if (verdict == Verdict::accepted) return true;

    struct Reason {
        Verdict verdict;
        const char *log, *text;
    };
    static constexpr Reason kReasons[] = {
        {Verdict::no_version, "it records no readable product or version",
         "The downloaded installer does not say which BrindleWave version it installs."},
        {Verdict::other_product, "it is another product's",
         "The downloaded installer is for another BrindleWave product than this installer."},
        {Verdict::other_version, "it records another version than the one offered",
         "The downloaded installer is not the version that was offered. It may have been "
         "replaced by a third party."},
        {Verdict::older, "it is older than the installed client",
         "The downloaded installer is older than the BrindleWave installed on this computer."},
        {Verdict::installed, "it is the installed client's version",
         "This version of BrindleWave is already installed."},
    };
    const Reason &reason =
        *std::find_if(std::begin(kReasons), std::end(kReasons), [&](const Reason &r) { return r.verdict == verdict; });
    log("Refused package %@: %@", {packagePath, QString::fromUtf8(reason.log)});
    alert("BrindleWave Installation Failed!", reason.text);
    FileManager::removeItemAtPath(packagePath);
    btnInstall->setEnabled(false);
    return false;
}

QString AppController::installedBwvVersion() {
    const std::optional<std::string> version = bwv::ver::installed_version(bwv::paths::fixed(bwv::paths::kConfDir),
                                                                           bwv::paths::fixed(bwv::paths::kSupportDir));
    if (!version) return QString();
    // An empty version still counts as found, so it must not read as "no version".
    return version->empty() ? QStringLiteral("") : QString::fromStdString(*version);
}

bool AppController::isSupportShutdown() {
    const QString version = installedBwvVersion();
    if (version.isNull()) return false;
    const QStringList pieces = version.split(QLatin1Char('.'));
    if (pieces.size() < 3) return false;

    const uint64_t major = static_cast<uint32_t>(leadingInt(pieces.at(0)));
    const uint64_t minor = static_cast<uint64_t>(static_cast<int64_t>(leadingInt(pieces.at(1))));
    const uint64_t patch = static_cast<uint64_t>(static_cast<int64_t>(leadingInt(pieces.at(2))));
    const uint64_t packed = (major << 32) + (minor << 16) + patch;
    return packed > (uint64_t{5} << 32) + (uint64_t{2} << 16);
}

void AppController::shutdownBrindleWave() {
    btnInstall->setEnabled(false);
    bwv::platform::AppleScript script(kAgentActivationScript);
    bwv::platform::DistributedNotificationCenter::defaultCenter().postNotificationName(kShutdownNotification);
    script.executeAndReturnError();
    bwvShutdownCancel = false;
    Timer::scheduledTimer(kPollInterval, true, [this](Timer &t) { doInstallCheck(t); });
}

void AppController::doInstallCheck(Timer &timer) {
    if (!bwvShutdownCancel && timecounter < kShutdownPollLimit) {
        if (ps_get_pid(kAgentProcess) <= 0) {
            timer.invalidate();
            installBrindleWave(this);
        } else {
            ++timecounter;
        }
        return;
    }
    alert("BrindleWave is running!", "Please shutdown BrindleWave, then install again");
    timer.invalidate();
    btnInstall->setEnabled(true);
}
