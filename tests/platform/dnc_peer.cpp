// The other process of the distributed-notification test: announces itself with
// "PeerReady", answers every "Ping" with "Pong" carrying the ping's userInfo back and its
// own object "peer", and ends after the first answer.
#include <QCoreApplication>
#include <QTimer>

#include "platform/qt/notification.hpp"

using namespace bwv::platform;

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    auto &center = DistributedNotificationCenter::defaultCenter();
    if (!center.isConnected()) return 2;
    int token = 0;
    center.addObserver(&token, [&](const Notification &n) {
        center.postNotificationName(QStringLiteral("Pong"), QStringLiteral("peer"), n.userInfo);
        QTimer::singleShot(200, &app, [] { QCoreApplication::exit(0); });
    }, QStringLiteral("Ping"));
    // Ready is repeated until a ping comes, so the test need not race our subscription.
    QTimer ready;
    QObject::connect(&ready, &QTimer::timeout, [&] {
        center.postNotificationName(QStringLiteral("PeerReady"));
    });
    ready.start(100);
    QTimer::singleShot(20000, &app, [] { QCoreApplication::exit(3); });
    const int rc = app.exec();
    center.removeObserver(&token);
    return rc;
}
