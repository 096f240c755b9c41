// The script stand-in. One form is understood:
//
//     tell application "X"
//     activate
//     end tell
//
// It asks application X to come to the front through the D-Bus session bus: the method
// Activate(a{sv}) of interface org.freedesktop.Application on the service
// activationServiceName(X), object activationObjectPath(X). The call is sent without
// waiting for an answer; a missing application, a missing bus and any other source are
// ignored, as the system ignores script errors.
#pragma once

#include <QString>

#include <functional>

namespace bwv::platform {

class AppleScript {
public:
    explicit AppleScript(QString source) : source_(std::move(source)) {}

    // True when the source has the one supported form and the request was sent; false,
    // with a reason in `error`, otherwise. Never throws, never blocks on the other side.
    bool executeAndReturnError(QString *error = nullptr) const;

    // The application name of a supported source; empty when the form is not supported.
    QString targetApplication() const;

    const QString &source() const { return source_; }

private:
    QString source_;
};

// "com.tarvenel.<X>" with every character D-Bus does not allow in a name element turned
// into '_' (and a leading digit prefixed by '_').
QString activationServiceName(const QString &application);
// "/com/tarvenel/<X>" with the same rule.
QString activationObjectPath(const QString &application);

// Serves the activation request for `application` in this process: `onActivate` runs on
// the main run loop when a script asks for it. False when there is no session bus or the
// name is taken. The registration lasts until unregisterActivation or the end of the
// process.
bool registerActivation(const QString &application, std::function<void()> onActivate);
void unregisterActivation(const QString &application);

}  // namespace bwv::platform
