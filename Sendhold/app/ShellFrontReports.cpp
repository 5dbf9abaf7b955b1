#include "ShellFrontReports.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QStandardPaths>

namespace sendhold {

namespace {

const QStringList kShells{QStringLiteral("org.gnome.Shell"), QStringLiteral("org.kde.KWin")};

QDBusMessage busCall(const QString& method) {
    return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                          QStringLiteral("/org/freedesktop/DBus"),
                                          QStringLiteral("org.freedesktop.DBus"), method);
}

QDBusMessage scriptingCall(const QString& method, const QVariantList& arguments) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"),
                                       QStringLiteral("org.kde.kwin.Scripting"), method);
    call.setArguments(arguments);
    return call;
}

// Sends call, then runs next once the answer, whatever it is, has come.
void thenCall(QDBusConnection bus, const QDBusMessage& call, std::function<void()> next) {
    auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(call));
    QObject::connect(pending, &QDBusPendingCallWatcher::finished, pending,
                     [pending, next = std::move(next)] {
                         pending->deleteLater();
                         if (next) next();
                     });
}

}  // namespace

ShellFrontReports::ShellFrontReports(QDBusConnection bus, focus::FrontSink sink, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), sink_(std::move(sink)) {
    if (!bus_.isConnected()) return;
    // Changes are followed before the first look-up is sent, so none falls between.
    auto* watcher = new QDBusServiceWatcher(this);
    watcher->setConnection(bus_);
    watcher->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    watcher->setWatchedServices(kShells);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString& shell, const QString&, const QString& owner) {
                ownerKnown(shell, owner);
            });
    for (const QString& shell : kShells) {
        QDBusMessage lookUp = busCall(QStringLiteral("GetNameOwner"));
        lookUp << shell;
        ++lookups_;
        auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(lookUp), this);
        connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending, shell] {
            pending->deleteLater();
            --lookups_;
            QDBusPendingReply<QString> reply = *pending;
            // A change seen meanwhile is newer than this answer.
            if (!owners_.contains(shell))
                ownerKnown(shell, reply.isValid() ? reply.value() : QString());
            if (lookups_ == 0) held_.reset();
        });
    }
}

void ShellFrontReports::publish() {
    if (!bus_.isConnected()) return;
    bus_.registerObject(QString::fromLatin1(kShellFrontPath), this,
                        QDBusConnection::ExportAllSlots);
}

void ShellFrontReports::Report(const QString& applicationId) {
    if (!calledFromDBus()) return;
    const QString sender = message().service();
    if (isShell(sender)) {
        reporter_ = sender;
        if (sink_) sink_(applicationId.toStdString());
    } else if (lookups_ > 0) {
        held_.emplace(sender, applicationId);
    }
}

void ShellFrontReports::ownerKnown(const QString& shell, const QString& owner) {
    QString& known = owners_[shell];
    const QString previous = std::exchange(known, owner);
    if (!reporter_.isEmpty() && previous == reporter_ && previous != owner) {
        reporter_.clear();
        if (sink_) sink_("");
    }
    if (held_ && !owner.isEmpty() && held_->first == owner) {
        reporter_ = owner;
        const QString id = std::exchange(held_, std::nullopt)->second;
        if (sink_) sink_(id.toStdString());
    }
}

bool ShellFrontReports::isShell(const QString& sender) const {
    if (sender.isEmpty()) return false;
    for (const auto& [shell, owner] : owners_)
        if (owner == sender) return true;
    return false;
}

QString installedKWinScript() {
    return QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                  QStringLiteral("sendhold/kwin/sendhold-front.js"));
}

void loadKWinScript(QDBusConnection bus, QString scriptPath) {
    if (!bus.isConnected() || scriptPath.isEmpty()) return;
    const auto load = [bus, scriptPath] {
        const QString plugin = QStringLiteral("sendhold-front");
        // Each step waits for the one before: KWin refuses to load a name still loaded.
        thenCall(bus, scriptingCall(QStringLiteral("unloadScript"), {plugin}), [=] {
            thenCall(bus, scriptingCall(QStringLiteral("loadScript"), {scriptPath, plugin}),
                     [bus] { thenCall(bus, scriptingCall(QStringLiteral("start"), {}), {}); });
        });
    };
    load();
    // A KWin that restarts or is replaced has forgotten the script.
    auto* watcher = new QDBusServiceWatcher(QStringLiteral("org.kde.KWin"), bus,
                                            QDBusServiceWatcher::WatchForOwnerChange,
                                            QCoreApplication::instance());
    QObject::connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, watcher,
                     [load](const QString&, const QString&, const QString& owner) {
                         if (!owner.isEmpty()) load();
                     });
}

}  // namespace sendhold
