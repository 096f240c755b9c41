#include "app/framework/notification.hpp"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QPointer>

#include <algorithm>
#include <mutex>

#include "app/framework/runloop.hpp"

namespace bwv::platform {

namespace {

struct Registration {
    const void *observer;
    NotificationHandler handler;
    QString name;
    const void *object;
    QString objectString;
    bool active = true;
};

// One list of observers, shared by both centers: copy-on-post so handlers may add and
// remove observers (themselves included) while a notification is being delivered.
class Registry {
public:
    void add(std::shared_ptr<Registration> r) {
        std::lock_guard lock(mutex_);
        regs_.push_back(std::move(r));
    }

    template <class Pred>
    void remove(Pred pred) {
        std::vector<std::shared_ptr<Registration>> gone;
        {
            std::lock_guard lock(mutex_);
            auto it = std::stable_partition(regs_.begin(), regs_.end(), [&](const auto &r) { return !pred(*r); });
            for (auto i = it; i != regs_.end(); ++i) {
                (*i)->active = false;
                gone.push_back(std::move(*i));
            }
            regs_.erase(it, regs_.end());
        }
    }

    template <class Match>
    void deliver(const Notification &n, Match match) {
        std::vector<std::shared_ptr<Registration>> snapshot;
        {
            std::lock_guard lock(mutex_);
            snapshot = regs_;
        }
        for (const auto &r : snapshot) {
            bool call;
            {
                std::lock_guard lock(mutex_);
                call = r->active && (r->name.isEmpty() || r->name == n.name) && match(*r);
            }
            if (call && r->handler) r->handler(n);
        }
    }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<Registration>> regs_;
};

}  // namespace

struct NotificationCenter::Private {
    Registry registry;
};

NotificationCenter::NotificationCenter() : d_(std::make_unique<Private>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter &NotificationCenter::defaultCenter() {
    static NotificationCenter *c = new NotificationCenter();  // outlives static observers
    return *c;
}

void NotificationCenter::addObserver(const void *observer, NotificationHandler handler, const QString &name,
                                     const void *object) {
    auto r = std::make_shared<Registration>();
    r->observer = observer;
    r->handler = std::move(handler);
    r->name = name;
    r->object = object;
    d_->registry.add(std::move(r));
}

void NotificationCenter::removeObserver(const void *observer) {
    d_->registry.remove([&](const Registration &r) { return r.observer == observer; });
}

void NotificationCenter::removeObserver(const void *observer, const QString &name, const void *object) {
    d_->registry.remove([&](const Registration &r) {
        return r.observer == observer && (name.isEmpty() || r.name == name) && (!object || r.object == object);
    });
}

void NotificationCenter::postNotification(const Notification &n) {
    d_->registry.deliver(n, [&](const Registration &r) { return !r.object || r.object == n.object; });
}

void NotificationCenter::postNotificationName(const QString &name, const void *object, const QVariantMap &userInfo) {
    Notification n;
    n.name = name;
    n.object = object;
    n.userInfo = userInfo;
    postNotification(n);
}

class DistributedReceiver : public QObject {
    Q_OBJECT
public:
    explicit DistributedReceiver(DistributedNotificationCenter::Private *d) : d_(d) {}
public Q_SLOTS:
    void onSignal(const QDBusMessage &msg);

private:
    DistributedNotificationCenter::Private *d_;
};

struct DistributedNotificationCenter::Private {
    Registry registry;
    bool tried = false;
    bool connected = false;
    QPointer<DistributedReceiver> receiver;

    // Settled once, on the main thread, the first time an application object exists.
    bool ensureConnected() {
        if (tried && connected && !receiver) tried = connected = false;  // a new application
        if (!tried && QCoreApplication::instance()) {
            tried = true;
            QDBusConnection bus = QDBusConnection::sessionBus();
            if (bus.isConnected()) {
                auto *r = new DistributedReceiver(this);
                r->setParent(QCoreApplication::instance());
                connected = bus.connect(QString(), QString::fromLatin1(kDBusPath), QString::fromLatin1(kDBusInterface),
                                        QStringLiteral("Notification"), r, SLOT(onSignal(QDBusMessage)));
                receiver = r;
            }
        }
        return connected && receiver;
    }
};

void DistributedReceiver::onSignal(const QDBusMessage &msg) {
    const QVariantList args = msg.arguments();
    if (args.size() < 2) return;
    Notification n;
    n.name = args.at(0).toString();
    n.objectString = args.at(1).toString();
    if (args.size() >= 3) {
        const QVariant &info = args.at(2);
        if (info.canConvert<QDBusArgument>())
            n.userInfo = qdbus_cast<QVariantMap>(info.value<QDBusArgument>());
        else
            n.userInfo = info.toMap();
    }
    DistributedNotificationCenter::Private *d = d_;
    RunLoop::current().perform(RunLoopMode::Default, [d, n] {
        d->registry.deliver(
            n, [&](const Registration &r) { return r.objectString.isEmpty() || r.objectString == n.objectString; });
    });
}

DistributedNotificationCenter::DistributedNotificationCenter() : d_(std::make_unique<Private>()) {}
DistributedNotificationCenter::~DistributedNotificationCenter() = default;

DistributedNotificationCenter &DistributedNotificationCenter::defaultCenter() {
    static DistributedNotificationCenter *c = new DistributedNotificationCenter();
    return *c;
}

bool DistributedNotificationCenter::isConnected() const { return d_->ensureConnected(); }

void DistributedNotificationCenter::addObserver(const void *observer, NotificationHandler handler, const QString &name,
                                                const QString &object) {
    if (!d_->ensureConnected()) return;
    auto r = std::make_shared<Registration>();
    r->observer = observer;
    r->handler = std::move(handler);
    r->name = name;
    r->object = nullptr;
    r->objectString = object;
    d_->registry.add(std::move(r));
}

void DistributedNotificationCenter::removeObserver(const void *observer) {
    d_->registry.remove([&](const Registration &r) { return r.observer == observer; });
}

void DistributedNotificationCenter::removeObserver(const void *observer, const QString &name, const QString &object) {
    d_->registry.remove([&](const Registration &r) {
        return r.observer == observer && (name.isEmpty() || r.name == name) &&
               (object.isEmpty() || r.objectString == object);
    });
}

void DistributedNotificationCenter::postNotificationName(const QString &name, const QString &object,
                                                         const QVariantMap &userInfo) {
    if (!d_->ensureConnected()) return;
    QDBusMessage msg = QDBusMessage::createSignal(QString::fromLatin1(kDBusPath), QString::fromLatin1(kDBusInterface),
                                                  QStringLiteral("Notification"));
    msg << name << object << QVariant::fromValue(userInfo);
    QDBusConnection::sessionBus().send(msg);
}

}  // namespace bwv::platform

#include "notification.moc"
