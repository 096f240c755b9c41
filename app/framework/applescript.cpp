#include "app/framework/applescript.hpp"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QPointer>
#include <QRegularExpression>
#include <QVariantMap>

#include <map>

#include "app/framework/runloop.hpp"

namespace bwv::platform {

namespace {

constexpr const char *kActivationInterface = "org.freedesktop.Application";

QString sanitise(const QString &application) {
    QString out;
    for (QChar c : application) {
        const bool ok = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                        (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                        (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('_');
        out += ok ? c : QLatin1Char('_');
    }
    if (out.isEmpty() || out.front().isDigit()) out.prepend(QLatin1Char('_'));
    return out;
}

}  // namespace

QString activationServiceName(const QString &application) {
    return QStringLiteral("com.tarvenel.") + sanitise(application);
}

QString activationObjectPath(const QString &application) {
    return QStringLiteral("/com/tarvenel/") + sanitise(application);
}

QString AppleScript::targetApplication() const {
    // The lines may carry surrounding blanks and the keywords any letter case, as the
    // script language allows; anything beyond the three lines is another form.
    QStringList lines;
    for (const QString &l : source_.split(QLatin1Char('\n'))) {
        const QString t = l.trimmed();
        if (!t.isEmpty()) lines << t;
    }
    if (lines.size() != 3) return {};
    static const QRegularExpression tell(QStringLiteral("^tell\\s+application\\s+\"([^\"]+)\"$"),
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression activate(QStringLiteral("^activate$"), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression endTell(QStringLiteral("^end\\s+tell$"), QRegularExpression::CaseInsensitiveOption);
    const auto m = tell.match(lines.at(0));
    if (!m.hasMatch() || !activate.match(lines.at(1)).hasMatch() || !endTell.match(lines.at(2)).hasMatch()) return {};
    return m.captured(1);
}

bool AppleScript::executeAndReturnError(QString *error) const {
    const QString app = targetApplication();
    if (app.isEmpty()) {
        if (error) *error = QStringLiteral("unsupported script");
        return false;
    }
    if (!QCoreApplication::instance()) {
        if (error) *error = QStringLiteral("no application object");
        return false;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (error) *error = QStringLiteral("no session bus");
        return false;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(activationServiceName(app), activationObjectPath(app),
                                       QString::fromLatin1(kActivationInterface), QStringLiteral("Activate"));
    call << QVariant::fromValue(QVariantMap());
    call.setAutoStartService(false);
    if (!bus.send(call)) {
        if (error) *error = bus.lastError().message();
        return false;
    }
    return true;
}

class ActivationObject : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit ActivationObject(std::function<void()> onActivate) : onActivate_(std::move(onActivate)) {}

public Q_SLOTS:
    void Activate(const QVariantMap &) {
        auto cb = onActivate_;
        RunLoop::current().perform(RunLoopMode::Default, [cb] {
            if (cb) cb();
        });
    }

private:
    std::function<void()> onActivate_;
};

namespace {
std::map<QString, QPointer<ActivationObject>> &registrations() {
    static auto *m = new std::map<QString, QPointer<ActivationObject>>();
    return *m;
}
}  // namespace

bool registerActivation(const QString &application, std::function<void()> onActivate) {
    if (!QCoreApplication::instance()) return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    unregisterActivation(application);
    auto *obj = new ActivationObject(std::move(onActivate));
    obj->setParent(QCoreApplication::instance());
    if (!bus.registerObject(activationObjectPath(application), obj, QDBusConnection::ExportAllSlots)) {
        delete obj;
        return false;
    }
    if (!bus.registerService(activationServiceName(application))) {
        bus.unregisterObject(activationObjectPath(application));
        delete obj;
        return false;
    }
    registrations()[application] = obj;
    return true;
}

void unregisterActivation(const QString &application) {
    auto &regs = registrations();
    auto it = regs.find(application);
    if (it == regs.end()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(activationServiceName(application));
    bus.unregisterObject(activationObjectPath(application));
    delete it->second.data();
    regs.erase(it);
}

}  // namespace bwv::platform

#include "applescript.moc"
