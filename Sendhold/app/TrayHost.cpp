#include "TrayHost.h"

#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QPointer>
#include <QString>
#include <cstdlib>
#include <memory>

#include "SessionBus.h"

namespace sendhold {

namespace {

constexpr char kWatcherService[] = "org.kde.StatusNotifierWatcher";
constexpr int kCallTimeoutMs = 2000;

// Asks the watcher whether a host registered. No separate "is the watcher
// there" question: without one the bus answers the call with an error at once.
void askStatusNotifierHost(QDBusConnection bus, std::function<void(bool)> answer);

void askStatusNotifierHost(std::function<void(bool)> answer) {
    withSessionBus(
        [answer = std::move(answer)](QDBusConnection bus) { askStatusNotifierHost(bus, answer); });
}

void askStatusNotifierHost(QDBusConnection bus, std::function<void(bool)> answer) {
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

xcb_connection_t* xcbConnection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// XCB_ATOM_NONE when `onlyIfExists` and nobody ever interned the name.
xcb_atom_t atomNamed(xcb_connection_t* connection, const QByteArray& name, bool onlyIfExists) {
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(connection,
                              xcb_intern_atom(connection, onlyIfExists,
                                              static_cast<uint16_t>(name.size()), name.constData()),
                              nullptr),
        &std::free);
    return atom ? atom->atom : xcb_atom_t{XCB_ATOM_NONE};
}

QByteArray traySelectionName() {
    return "_NET_SYSTEM_TRAY_S" + QByteArray::number(defaultScreenNumber());
}

bool xembedTrayManagerPresent() {
    xcb_connection_t* connection = xcbConnection();
    if (!connection) return false;
    // Nobody ever interned the selection's name: no tray manager has run here.
    const xcb_atom_t selection = atomNamed(connection, traySelectionName(), true);
    if (selection == XCB_ATOM_NONE) return false;
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection),
                                      nullptr),
        &std::free);
    return owner && owner->owner != XCB_WINDOW_NONE;
}

// A new tray manager tells every client through a MANAGER message on the root
// window, which Qt already listens to for its own tray icons.
class TrayManagerNotice : public QObject, public QAbstractNativeEventFilter {
  public:
    TrayManagerNotice(xcb_connection_t* connection, TrayHostWatch* watch)
        : QObject(watch),
          watch_(watch),
          manager_(atomNamed(connection, "MANAGER", false)),
          selection_(atomNamed(connection, traySelectionName(), false)) {
        qGuiApp->installNativeEventFilter(this);
    }
    ~TrayManagerNotice() override {
        if (qGuiApp) qGuiApp->removeNativeEventFilter(this);
    }
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return false;
        const auto* client = static_cast<const xcb_client_message_event_t*>(message);
        if (client->type == manager_ && client->format == 32 &&
            client->data.data32[1] == selection_)
            QMetaObject::invokeMethod(watch_, &TrayHostWatch::recheck, Qt::QueuedConnection);
        return false;
    }

  private:
    TrayHostWatch* watch_;
    xcb_atom_t manager_;
    xcb_atom_t selection_;
};

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
    return {360000};
}

TrayHostWatch::TrayHostWatch(Probe probe, std::vector<int> delaysMs, QObject* parent)
    : QObject(parent), probe_(std::move(probe)), delaysMs_(std::move(delaysMs)) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { check(true); });
}

void TrayHostWatch::start() {
    timer_.stop();
    next_ = 0;
    ++round_;
    asking_ = 0;
    found_ = false;
    listenForHosts();
    check(true);
}

void TrayHostWatch::recheck() {
    if (!found_) check(false);
}

void TrayHostWatch::listenForHosts() {
    const QString platform = qGuiApp ? QGuiApplication::platformName() : QString();
    if (listening_ || (platform != QLatin1String("xcb") && platform != QLatin1String("wayland")))
        return;
    listening_ = true;
    // Before the first check: a host coming between the two is not missed.
    if (xcb_connection_t* connection = xcbConnection()) new TrayManagerNotice(connection, this);
    withSessionBus([self = QPointer<TrayHostWatch>(this)](QDBusConnection bus) {
        if (!self || !bus.isConnected()) return;
        auto* names = new QDBusServiceWatcher(QString::fromLatin1(kWatcherService), bus,
                                              QDBusServiceWatcher::WatchForRegistration, self);
        connect(names, &QDBusServiceWatcher::serviceRegistered, self, &TrayHostWatch::recheck);
        bus.connect(QString(), QStringLiteral("/StatusNotifierWatcher"),
                    QString::fromLatin1(kWatcherService),
                    QStringLiteral("StatusNotifierHostRegistered"), self, SLOT(recheck()));
    });
}

void TrayHostWatch::check(bool scheduled) {
    if (scheduled) ++asking_;
    if (!probe_) return answered(false, scheduled);
    probe_([self = QPointer<TrayHostWatch>(this), round = round_, scheduled](bool present) {
        if (self && self->round_ == round) self->answered(present, scheduled);
    });
}

void TrayHostWatch::answered(bool present, bool scheduled) {
    if (scheduled) --asking_;
    if (found_) return;
    if (present) {
        found_ = true;
        timer_.stop();
        emit hostAppeared();
        return;
    }
    if (!scheduled || asking_ > 0) return;
    if (next_ >= delaysMs_.size()) {
        emit gaveUp();
        return;
    }
    timer_.start(delaysMs_[next_++]);
}

}  // namespace sendhold
