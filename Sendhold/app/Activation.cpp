#include "Activation.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>

#include "ApplicationId.h"

namespace sendhold {

namespace {

constexpr char kInterface[] = "org.freedesktop.Application";
// RequestName's DBUS_NAME_FLAG_DO_NOT_QUEUE: a copy that does not get the name
// (one that runs despite the lock) must not take it over later.
constexpr uint kDoNotQueue = 4;

}  // namespace

ActivationService::ActivationService(std::function<void()> activate, QObject* parent)
    : QObject(parent), activate_(std::move(activate)) {}

void ActivationService::publish(QDBusConnection bus) {
    if (!bus.isConnected()) return;
    bus.registerObject(QString::fromLatin1(kActivationPath), this, QDBusConnection::ExportAllSlots);
    // registerService() would wait for the bus; the answer does not matter here.
    QDBusMessage request = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
    request << QString::fromLatin1(kApplicationId) << kDoNotQueue;
    bus.asyncCall(request);
}

void ActivationService::Activate(const QVariantMap&) {
    if (activate_) activate_();
}

void activateRunningCopy(QDBusConnection bus, int timeoutMs, std::function<void()> done) {
    if (!bus.isConnected()) return done();
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kApplicationId), QString::fromLatin1(kActivationPath),
        QString::fromLatin1(kInterface), QStringLiteral("Activate"));
    call.setAutoStartService(false);
    call << QVariantMap();
    auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(call, timeoutMs));
    QObject::connect(pending, &QDBusPendingCallWatcher::finished, pending,
                     [pending, done = std::move(done)] {
                         pending->deleteLater();
                         done();
                     });
}

}  // namespace sendhold
