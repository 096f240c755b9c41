// Named notifications: the in-process default center and the distributed center whose
// notifications cross processes on the D-Bus session bus.
#pragma once

#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <vector>

namespace bwv::platform {

struct Notification {
    QString name;
    // In-process center: the sender's identity (any pointer; nullptr = no sender).
    const void *object = nullptr;
    // Distributed center: the sender string ("" = none).
    QString objectString;
    // Any values; the end of a background read carries its bytes (a QByteArray) under
    // FileHandle::kNotificationDataItem.
    QVariantMap userInfo;
};

// Observers are identified by an opaque pointer, usually the observing object's `this`,
// and must be removed before that object goes away.
using NotificationHandler = std::function<void(const Notification &)>;

class NotificationCenter {
public:
    // The process's default center. Posting delivers synchronously on the posting thread;
    // the platform posts its own notifications (end of a background read, end of a child
    // process) from the run loop of the thread that started the work.
    static NotificationCenter &defaultCenter();

    // Calls `handler` for notifications named `name` (empty: any name) sent by `object`
    // (nullptr: any sender). The same observer may register any number of times.
    void addObserver(const void *observer, NotificationHandler handler, const QString &name,
                     const void *object = nullptr);

    // Removes every registration of `observer`, for all names.
    void removeObserver(const void *observer);

    // Removes the registrations of `observer` for `name` (empty: all names) and `object`
    // (nullptr: all senders).
    void removeObserver(const void *observer, const QString &name, const void *object = nullptr);

    // Delivers to every matching observer, in registration order. An observer removed by
    // an earlier handler of the same post is not called.
    void postNotification(const Notification &notification);
    void postNotificationName(const QString &name, const void *object = nullptr, const QVariantMap &userInfo = {});

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter &) = delete;
    NotificationCenter &operator=(const NotificationCenter &) = delete;

    struct Private;

private:
    std::unique_ptr<Private> d_;
};

// Notifications between processes. A post becomes the D-Bus signal
//   path kDBusPath, interface kDBusInterface, member "Notification",
//   arguments (s name, s object, a{sv} userInfo)
// on the session bus; every process observing that name, the poster included, receives
// it on its main run loop in the default mode. Without a session bus, posting and
// observing quietly do nothing.
class DistributedNotificationCenter {
public:
    static constexpr const char *kDBusPath = "/com/tarvenel/DistributedNotificationCenter";
    static constexpr const char *kDBusInterface = "com.tarvenel.DistributedNotificationCenter";

    static DistributedNotificationCenter &defaultCenter();

    // `object` empty: any sender.
    void addObserver(const void *observer, NotificationHandler handler, const QString &name,
                     const QString &object = {});
    void removeObserver(const void *observer);
    void removeObserver(const void *observer, const QString &name, const QString &object = {});

    // userInfo values must be types D-Bus can carry (strings, numbers, booleans, bytes).
    void postNotificationName(const QString &name, const QString &object = {}, const QVariantMap &userInfo = {});

    // True when a session bus is reachable (checked once, at first use).
    bool isConnected() const;

    DistributedNotificationCenter();
    ~DistributedNotificationCenter();
    DistributedNotificationCenter(const DistributedNotificationCenter &) = delete;
    DistributedNotificationCenter &operator=(const DistributedNotificationCenter &) = delete;

    struct Private;

private:
    std::unique_ptr<Private> d_;
};

}  // namespace bwv::platform
