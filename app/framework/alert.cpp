#include "app/framework/alert.hpp"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <mutex>

#include "app/framework/log.hpp"
#include "app/framework/runloop.hpp"

namespace bwv::platform {

namespace {

class MessageBoxPresenter : public AlertPresenter {
public:
    int runCriticalAlert(const AlertRequest &req) override {
        if (!qobject_cast<QApplication *>(QCoreApplication::instance())) {
            // No widgets to show it with: keep the text at least.
            logLine(req.title + QStringLiteral(": ") + req.message);
            return kAlertDefaultReturn;
        }
        QMessageBox box(QMessageBox::Critical, req.title, req.message);
        // Closing an alert while the main window is hidden must not end the application.
        box.setAttribute(Qt::WA_QuitOnClose, false);
        box.setWindowModality(Qt::ApplicationModal);
        QPushButton *def = box.addButton(req.defaultButton, QMessageBox::AcceptRole);
        QPushButton *alt =
            req.alternateButton.isEmpty() ? nullptr : box.addButton(req.alternateButton, QMessageBox::RejectRole);
        QPushButton *other =
            req.otherButton.isEmpty() ? nullptr : box.addButton(req.otherButton, QMessageBox::DestructiveRole);
        box.setDefaultButton(def);
        {
            RunLoop::ModeScope modal(RunLoopMode::ModalPanel);
            box.exec();
        }
        QAbstractButton *clicked = box.clickedButton();
        if (alt && clicked == alt) return kAlertAlternateReturn;
        if (other && clicked == other) return kAlertOtherReturn;
        return kAlertDefaultReturn;
    }
};

std::mutex g_mutex;

std::shared_ptr<AlertPresenter> &current() {
    static auto *p = new std::shared_ptr<AlertPresenter>(std::make_shared<MessageBoxPresenter>());
    return *p;
}

}  // namespace

void setAlertPresenter(std::shared_ptr<AlertPresenter> presenter) {
    std::lock_guard lock(g_mutex);
    current() = presenter ? std::move(presenter) : std::make_shared<MessageBoxPresenter>();
}

std::shared_ptr<AlertPresenter> alertPresenter() {
    std::lock_guard lock(g_mutex);
    return current();
}

int runCriticalAlertPanel(const QString &title, const QString &message, const QString &defaultButton,
                          const QString &alternateButton, const QString &otherButton) {
    AlertRequest req{title, message, defaultButton.isEmpty() ? QStringLiteral("OK") : defaultButton, alternateButton,
                     otherButton};
    return alertPresenter()->runCriticalAlert(req);
}

}  // namespace bwv::platform
