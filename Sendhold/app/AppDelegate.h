#pragma once

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
    };

    explicit AppDelegate(LaunchSteps steps, QObject* parent = nullptr);
    ~AppDelegate() override;

    // The start-up sequence; runs once, later calls do nothing.
    void applicationDidFinishLaunching();
    // Redraws the icon from the guard's switch; does nothing while there is no icon.
    void updateIconState();
    // Ends the program at once, without a question.
    void quitApp();
    // Pops up the menu with the settings panel next to the icon.
    void openPanel();

    // The tray icon; empty until a tray host is there (never, with no display).
    std::unique_ptr<QSystemTrayIcon> statusItem;

    const StatusMenus& menus() const { return menus_; }
    bool isWaitingForTray() const { return trayWatch_ && trayWatch_->isWaiting(); }

  private:
    void makeStatusItem();
    void attachMenus();

    LaunchSteps steps_;
    bool launched_ = false;
    std::optional<NotificationCenter::Token> iconObserver_;
    TrayHostWatch* trayWatch_ = nullptr;
    StatusMenus menus_;
};

}  // namespace sendhold
