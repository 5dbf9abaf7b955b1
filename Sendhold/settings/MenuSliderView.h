#pragma once

#include <QWidget>

class QLabel;
class QSlider;

namespace sendhold {

class Preferences;
class SwitchToggle;

// The settings panel shown at the top of the tray menu: the guard's switch, the
// long-press duration slider with its current value, the launch-at-login switch.
// The switches take the guard's flag and the autostart entry each time the panel
// is shown (the tray menu and the settings window each hold a panel) and between
// showings follow the user's flips; the duration follows the store, whoever writes it.
class MenuSliderView final : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kWidth = 270;
    static constexpr int kHeight = 175;
    // Slider positions in tenths of a second.
    static constexpr int kSliderMinimum = 2;
    static constexpr int kSliderMaximum = 10;

    explicit MenuSliderView(QWidget* parent = nullptr);
    MenuSliderView(Preferences& preferences, QWidget* parent = nullptr);

    QSize sizeHint() const override { return {kWidth, kHeight}; }
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
    void userFlippedEnabled(bool isEnabled);
    void userFlippedLaunchAtLogin(bool launchAtLogin);
    void userMovedSlider(int position);

    Preferences& preferences_;
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
