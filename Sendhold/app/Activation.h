#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>
#include <functional>

namespace sendhold {

// Starting Sendhold while it runs brings up the running copy's settings, the
// freedesktop way: the running copy owns the well-known name kApplicationId on
// the session bus and exports org.freedesktop.Application's Activate; a second
// copy calls it before it leaves. Open and ActivateAction are not offered (the
// bus answers them with an error).
inline constexpr char kActivationPath[] = "/io/github/sendhold/Sendhold";

class ActivationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
  public:
    explicit ActivationService(std::function<void()> activate, QObject* parent = nullptr);

    // Exports the interface and asks for the name, without waiting for the bus's
    // answer. Does nothing on a bus that is not connected.
    void publish(QDBusConnection bus);

  public slots:
    void Activate(const QVariantMap& platformData);

  private:
    std::function<void()> activate_;
};

// Asks the copy owning the name to activate, then calls done: at the answer,
// at once when there is no bus, and at the latest after timeoutMs.
void activateRunningCopy(QDBusConnection bus, int timeoutMs, std::function<void()> done);

}  // namespace sendhold
