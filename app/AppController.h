// The installer's window controller and application delegate: start-up and run modes,
// the version check and download driven through the update library, and the
// installation of the downloaded client.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

#include "app/UpdateLibrary.h"
#include "app/framework/application.hpp"
#include "app/framework/controls.hpp"
#include "app/framework/notification.hpp"
#include "app/framework/strings.hpp"
#include "app/framework/task.hpp"
#include "app/framework/timer.hpp"

namespace bwv::platform {
class Task;
}

class QLabel;
class QPushButton;
class QWidget;

namespace Ui {
class MainWindow;
}

// Process-wide state, zero at start. The mode flags are set once by start-up; `upret`
// points at the update library's latest status record (owned by the library);
// `bwvShutdownCancel` is raised by the client's cancel notification; `timecounter`
// counts shutdown polls over the life of the process.
extern bool autoCheckMode;
extern bool upgradeMode;
extern upd_result *upret;
extern bool bwvShutdownCancel;
extern int32_t timecounter;

class AppController : public QObject, public bwv::platform::ApplicationDelegate {
    Q_OBJECT
public:
    AppController();
    ~AppController() override;

    // Takes the window definition's controls and wires the buttons to their actions.
    void connectOutlets(Ui::MainWindow &form, QWidget &window);

    bwv::platform::ProgressIndicator piCheckProgress;
    QLabel *tfNotice = nullptr;
    QPushButton *btnCancel = nullptr;
    QPushButton *btnInstall = nullptr;
    QPushButton *btnDownload = nullptr;
    QWidget *mainWindow = nullptr;
    // The running poll timer of the check or the download; the run loop keeps it alive.
    bwv::platform::Timer *updateTimer = nullptr;
    int32_t isVPN = 0;

    bool applicationShouldTerminateAfterLastWindowClosed() override;
    bool verifyPackage(const QString &packagePath);
    bool extractFilesFromDMG(const QString &dmgPath, const QString &targetPath);
    QString curBwvVersion();
    // Null when no version file of the installed client can be read or it has no version.
    QString installedBwvVersion();
    bool isSupportShutdown();
    bool installPKG(const QString &packagePath);
    void doInstallCheck(bwv::platform::Timer &timer);
    void shutdownBrindleWave();
    void installBrindleWave(QObject *sender);
    QString downloadBwvVersion();
    void downloadTimerFired(bwv::platform::Timer &timer);
    void downloadBrindleWave(QObject *sender);
    void checkNewVersionTimerFired(bwv::platform::Timer &timer);
    void checkForNewVersion(QObject *sender);
    void prepareContentForLightInstaller();
    void handleNotification(const bwv::platform::Notification *notification);
    void awakeFromNib() override;

protected:
    // What the controller asks of its process. Tests replace these to observe endings
    // and to start the controller as if from another bundle or command line.
    virtual QString mainBundlePath() const;
    virtual QStringList processArguments() const;
    virtual void terminateApplication();
    virtual void exitProcess(int status);

private:
    // The English text looked up in the bundle's table, then given the product name.
    static QString localizedText(const char *key);
    QString productSuffix() const;
    void showNotice(const QString &text);
    void alert(const char *title, const char *message);
    // Reports a package that cannot be accepted and bars the installation; answers NO.
    bool refusePackage();
    // Whether the package is what was offered, for this bundle's product, and not older than
    // the client installed now; otherwise reports why, removes the package and bars the
    // installation.
    bool isPackageOffered(const QString &packagePath);
    // Log lines stay English and keep the maker's product name, whatever the user's
    // language or the deployment's rebranding: whoever reads the system log searches for them.
    static void log(const char *text, const QStringList &args = {});
    bwv::platform::Timer *schedulePoll(void (AppController::*poll)(bwv::platform::Timer &));
    // Removes the mount point once its detach has ended, or at once when none runs.
    void removeMountPointAfter(std::shared_ptr<bwv::platform::Task> detach, const QString &mountPoint);

    struct PendingDetach {
        std::shared_ptr<bwv::platform::Task> task;
        QString mountPoint;
    };
    std::vector<PendingDetach> pendingDetaches_;

    // Serves the run loop until every detach has ended (their deadline bounds the wait): tools
    // die with the installer, and a detach cut short would leave the image's files behind.
    void waitForDetach();
};

using bwv::platform::formatText;
