#pragma once

#include <QWidget>

class QLabel;
class QSlider;

namespace sendhold {

class ApplicationRules;
class Preferences;
class SwitchToggle;

// The settings panel shown at the top of the tray menu: the guard's switch, the
// guard's switch for the application in front (where that can be known), the
// long-press duration slider with its current value, the launch-at-login switch.
// The switches take the guard's flag and the autostart entry each time the panel
// is shown (the tray menu and the settings window each hold a panel) and between
// showings follow the user's flips; the duration follows the store, whoever writes it.
class MenuSliderView final : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kWidth = 270;
    static constexpr int kHeight = 175;
    // What the row of the application in front adds, where there is one.
    static constexpr int kFrontRowHeight = 44;
    // Slider positions in tenths of a second.
    static constexpr int kSliderMinimum = 2;
    static constexpr int kSliderMaximum = 10;

    explicit MenuSliderView(QWidget* parent = nullptr);
    MenuSliderView(Preferences& preferences, ApplicationRules& rules, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    // The parts, for the tray menu's owner and for tests.
    SwitchToggle* enableSwitch() const { return enableSwitch_; }
    SwitchToggle* launchAtLoginSwitch() const { return launchSwitch_; }
    QSlider* durationSlider() const { return slider_; }
    QLabel* enabledLabel() const { return enabledLabel_; }
    QLabel* titleLabel() const { return titleLabel_; }
    QLabel* fastLabel() const { return fastLabel_; }
    QLabel* slowLabel() const { return slowLabel_; }
    QLabel* currentSettingLabel() const { return currentLabel_; }
    QLabel* launchAtLoginLabel() const { return launchLabel_; }
    // The row of the application that was in front when the panel was shown.
    QWidget* frontApplicationRow() const { return frontRow_; }
    QLabel* frontApplicationLabel() const { return frontNameLabel_; }
    SwitchToggle* frontApplicationSwitch() const { return frontSwitch_; }

  protected:
    void showEvent(QShowEvent* event) override;
    // Clicks between the controls stay in the panel: passed on, they would
    // trigger the menu's action and close the menu.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    void buildViewTree();
    void showDuration(double seconds);
    void showSwitches();
    void showFrontRow(bool tracking);
    void userFlippedEnabled(bool isEnabled);
    void userFlippedLaunchAtLogin(bool launchAtLogin);
    void userMovedSlider(int position);

    Preferences& preferences_;
    ApplicationRules& rules_;
    // The application the row speaks of: the one in front at the last showing.
    QString shownFront_;
    QWidget* frontRow_ = nullptr;
    QLabel* frontNameLabel_ = nullptr;
    QLabel* frontLabel_ = nullptr;
    SwitchToggle* frontSwitch_ = nullptr;
    SwitchToggle* enableSwitch_ = nullptr;
    SwitchToggle* launchSwitch_ = nullptr;
    QSlider* slider_ = nullptr;
    QLabel* enabledLabel_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    QLabel* fastLabel_ = nullptr;
    QLabel* slowLabel_ = nullptr;
    QLabel* currentLabel_ = nullptr;
    QLabel* launchLabel_ = nullptr;
};

}  // namespace sendhold
