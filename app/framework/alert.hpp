// Critical alerts through a replaceable presenter, so tests record them instead of
// blocking on a modal dialog.
#pragma once

#include <QString>

#include <memory>

namespace bwv::platform {

// The answers of a critical alert panel: which button ended it.
inline constexpr int kAlertDefaultReturn = 1;
inline constexpr int kAlertAlternateReturn = 0;
inline constexpr int kAlertOtherReturn = -1;

struct AlertRequest {
    QString title;
    QString message;          // final text; formatting is the caller's
    QString defaultButton;    // never empty: "OK" when the caller gives none
    QString alternateButton;  // empty: no such button
    QString otherButton;      // empty: no such button
};

class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // Shows the alert modally and answers one of the kAlert*Return values.
    virtual int runCriticalAlert(const AlertRequest &request) = 0;
};

// nullptr restores the standard presenter: a modal critical QMessageBox that keeps the
// run loop in ModalPanel mode while it is open, so default-mode timers wait for it.
void setAlertPresenter(std::shared_ptr<AlertPresenter> presenter);
std::shared_ptr<AlertPresenter> alertPresenter();

// Shows a critical alert with the given buttons through the current presenter.
int runCriticalAlertPanel(const QString &title, const QString &message,
                          const QString &defaultButton = QStringLiteral("OK"), const QString &alternateButton = {},
                          const QString &otherButton = {});

}  // namespace bwv::platform
