#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "StatusMenu.h"
#include "TrayHost.h"
#include "settings/NotificationCenter.h"

namespace sendhold {

// The application's one delegate: runs the start-up sequence once the event loop
// runs, owns the tray icon, keeps it in step with the guard, and quits.
class AppDelegate : public QObject {
    Q_OBJECT
  public:
    // What start-up does beyond the tray and its menus. SendholdApp supplies the
    // real steps; tests supply their own.
    struct LaunchSteps {
        // Takes the single-instance lock; false when another copy holds it.
        std::function<bool()> claimSingleInstance;
        // Binds the guard to the system and starts it.
        std::function<void()> startGuard;
        // Whether a tray host is there now (see checkTrayHost()).
        TrayHostWatch::Probe trayHostPresent;
        std::vector<int> trayRetryDelaysMs;
        // Ends the application.
        std::function<void()> terminate;
        // Hands the session bus for activation to a use, on the main loop: a
        // running copy offers it there, a second copy asks for it there. None: neither.
        std::function<void(std::function<void(QDBusConnection)>)> withSessionBus;
    };

    explicit AppDelegate(LaunchSteps steps, QObject* parent = nullptr);
    ~AppDelegate() override;

    // The start-up sequence; runs once, later calls do nothing.
    void applicationDidFinishLaunching();
    // Redraws the icon from the guard's switch; does nothing while there is no icon.
    void updateIconState();
    // Ends the program at once, without a question.
    void quitApp();
    // Pops up the menu with the settings panel next to the icon; shows the panel
    // window instead when the menu does not appear.
    void openPanel();
    // Shows the settings panel in a window of its own, raised; one window, reused.
    void showPanelWindow();

    // The tray icon; empty until a tray host is there (never, with no display).
    std::unique_ptr<QSystemTrayIcon> statusItem;

    const StatusMenus& menus() const { return menus_; }
    QWidget* panelWindow() const { return panelWindow_.get(); }
    bool isWaitingForTray() const { return trayWatch_ && trayWatch_->isWaiting(); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void makeStatusItem();
    void attachMenus();

    LaunchSteps steps_;
    bool launched_ = false;
    std::optional<NotificationCenter::Token> iconObserver_;
    TrayHostWatch* trayWatch_ = nullptr;
    StatusMenus menus_;
    std::unique_ptr<QWidget> panelWindow_;
    bool menuPainted_ = false;
};

}  // namespace sendhold
