#include "TrayHost.h"

#include <xcb/xcb.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QPointer>
#include <QString>
#include <cstdlib>
#include <memory>

namespace sendhold {

namespace {

constexpr char kWatcherService[] = "org.kde.StatusNotifierWatcher";
constexpr int kCallTimeoutMs = 2000;

// Asks the watcher whether a host registered. No separate "is the watcher
// there" question: without one the bus answers the call with an error at once.
void askStatusNotifierHost(std::function<void(bool)> answer) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return answer(false);
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kWatcherService), QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << QString::fromLatin1(kWatcherService)
         << QStringLiteral("IsStatusNotifierHostRegistered");
    // A child of the application, so that an unanswered call is cleaned up at exit.
    auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), qGuiApp);
    QObject::connect(
        pending, &QDBusPendingCallWatcher::finished, pending,
        [pending, answer = std::move(answer)] {
            pending->deleteLater();
            const QDBusMessage reply = pending->reply();
            answer(reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
                   reply.arguments().constFirst().value<QDBusVariant>().variant().toBool());
        });
}

// The X screen number from DISPLAY (":0.1" -> 1); 0 when absent.
int defaultScreenNumber() {
    const char* display = std::getenv("DISPLAY");
    if (!display) return 0;
    const QString text = QString::fromLocal8Bit(display);
    const qsizetype dot = text.indexOf(QLatin1Char('.'), text.lastIndexOf(QLatin1Char(':')));
    if (dot < 0) return 0;
    bool ok = false;
    const int screen = text.mid(dot + 1).toInt(&ok);
    return ok && screen >= 0 ? screen : 0;
}

bool xembedTrayManagerPresent() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) return false;
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(defaultScreenNumber());
    xcb_intern_atom_cookie_t atomCookie =
        xcb_intern_atom(connection, 1, static_cast<uint16_t>(name.size()), name.constData());
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(connection, atomCookie, nullptr), &std::free);
    // Nobody ever interned the selection's name: no tray manager has run here.
    if (!atom || atom->atom == XCB_ATOM_NONE) return false;
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom),
                                      nullptr),
        &std::free);
    return owner && owner->owner != XCB_WINDOW_NONE;
}

}  // namespace

void checkTrayHost(std::function<void(bool)> answer) {
    const QString platform = qGuiApp ? QGuiApplication::platformName() : QString();
    if (!qGuiApp || platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return answer(false);
    // The X server answers its two questions in well under a millisecond.
    if (xembedTrayManagerPresent()) return answer(true);
    askStatusNotifierHost(std::move(answer));
}

std::vector<int> TrayHostWatch::defaultDelaysMs() {
    return {250, 500, 1000, 2000, 4000, 8000, 15000, 30000, 60000, 60000, 60000, 60000, 60000};
}

TrayHostWatch::TrayHostWatch(Probe probe, std::vector<int> delaysMs, QObject* parent)
    : QObject(parent), probe_(std::move(probe)), delaysMs_(std::move(delaysMs)) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &TrayHostWatch::check);
}

void TrayHostWatch::start() {
    timer_.stop();
    next_ = 0;
    check();
}

void TrayHostWatch::check() {
    if (!probe_) return answered(false);
    asking_ = true;
    const std::uint64_t round = ++round_;
    probe_([self = QPointer<TrayHostWatch>(this), round](bool present) {
        if (self && self->round_ == round) self->answered(present);
    });
}

void TrayHostWatch::answered(bool present) {
    asking_ = false;
    if (present) {
        emit hostAppeared();
        return;
    }
    if (next_ >= delaysMs_.size()) {
        emit gaveUp();
        return;
    }
    timer_.start(delaysMs_[next_++]);
}

}  // namespace sendhold
