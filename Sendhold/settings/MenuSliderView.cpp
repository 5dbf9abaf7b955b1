#include "MenuSliderView.h"

#include <QApplication>
#include <QBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QSlider>
#include <algorithm>

#include "ApplicationRules.h"
#include "KeyboardManager/KeyboardManager.h"
#include "LaunchAtLogin.h"
#include "PanelTexts.h"
#include "Preferences.h"
#include "SwitchActions.h"
#include "SwitchToggle.h"
#include "localization/Localization.h"

namespace sendhold {
namespace {

// Spacing and insets of the view tree, in pixels.
constexpr int kOuterInset = 14;
constexpr int kStackSpacing = 12;
constexpr int kGroupSpacing = 6;
constexpr int kSliderRowSpacing = 8;
constexpr int kSideInset = 4;

// Type sizes of the named text styles: system font at 12 and 11, captions at 10.
constexpr int kSwitchLabelPixels = 12;
constexpr int kTitlePixels = 11;
constexpr int kCaptionPixels = 10;

// A horizontal slider that leaves Up and Down to the menu around it, so that
// keyboard navigation of the menu does not get stuck in the panel.
class DurationSlider final : public QSlider {
  public:
    explicit DurationSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {}

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
            event->ignore();
            return;
        }
        QSlider::keyPressEvent(event);
    }
};

QFont systemFont(int pixels, bool bold) {
    QFont font = QApplication::font();
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

// The platform's "secondary" label colour: the text colour at half strength.
QColor secondaryColor(const QPalette& palette) {
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(0.5);
    return color;
}

QLabel* makeLabel(QWidget* parent, const QFont& font, const QColor* color = nullptr) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    if (color) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, *color);
        label->setPalette(palette);
    }
    return label;
}

QHBoxLayout* switchRow(QLabel* label, SwitchToggle* toggle) {
    auto* row = new QHBoxLayout;
    row->setContentsMargins(kSideInset, 0, kSideInset, 0);
    row->addWidget(label);
    row->addStretch(1);
    row->addWidget(toggle);
    return row;
}

int sliderPosition(double seconds) {
    const double tenths = std::clamp(seconds * 10, double(MenuSliderView::kSliderMinimum),
                                     double(MenuSliderView::kSliderMaximum));
    return qRound(tenths);
}

}  // namespace

MenuSliderView::MenuSliderView(QWidget* parent)
    : MenuSliderView(Preferences::standard(), ApplicationRules::shared(), parent) {}

MenuSliderView::MenuSliderView(Preferences& preferences, ApplicationRules& rules, QWidget* parent)
    : QWidget(parent), preferences_(preferences), rules_(rules) {
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    // Moves over the panel reach the menu (unaccepted), which tracks its items.
    setMouseTracking(true);
    buildViewTree();

    // Initial values: the store, the guard's flag, the autostart entry (again at each showing).
    const double duration = preferences_.longPressDuration();

    titleLabel_->setText(localized(QStringLiteral("pref_title")));
    fastLabel_->setText(localized(QStringLiteral("fast")));
    slowLabel_->setText(localized(QStringLiteral("slow")));
    frontLabel_->setText(localized(QStringLiteral("on_in_app")));
    showFrontRow(rules_.isTracking());
    showSwitches();
    showDuration(duration);

    connect(&preferences_, &Preferences::longPressDurationChanged, this,
            &MenuSliderView::showDuration);
    // valueChanged also fires while the knob is dragged: each position is stored at once.
    connect(slider_, &QSlider::valueChanged, this, &MenuSliderView::userMovedSlider);
    connect(enableSwitch_, &SwitchToggle::toggled, this, &MenuSliderView::userFlippedEnabled);
    connect(launchSwitch_, &SwitchToggle::toggled, this, &MenuSliderView::userFlippedLaunchAtLogin);
    connect(&rules_, &ApplicationRules::trackingChanged, this, &MenuSliderView::showFrontRow);
    connect(frontSwitch_, &SwitchToggle::toggled, this,
            [this](bool on) { rules_.setGuardOnIn(shownFront_, on); });
}

QSize MenuSliderView::sizeHint() const {
    return {kWidth, kHeight + (frontRow_->isHidden() ? 0 : kFrontRowHeight)};
}

void MenuSliderView::showFrontRow(bool tracking) {
    frontRow_->setVisible(tracking);
    setMinimumSize(sizeHint());
    updateGeometry();
}

void MenuSliderView::buildViewTree() {
    const QColor secondary = secondaryColor(palette());
    const QColor gray(142, 142, 147);

    enabledLabel_ = makeLabel(this, systemFont(kSwitchLabelPixels, true));
    enableSwitch_ = new SwitchToggle(this);
    titleLabel_ = makeLabel(this, systemFont(kTitlePixels, true), &secondary);
    titleLabel_->setContentsMargins(kSideInset, 0, 0, 0);
    fastLabel_ = makeLabel(this, systemFont(kCaptionPixels, false), &secondary);
    slowLabel_ = makeLabel(this, systemFont(kCaptionPixels, false), &secondary);
    fastLabel_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    slowLabel_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    slider_ = new DurationSlider(this);
    slider_->setRange(kSliderMinimum, kSliderMaximum);
    slider_->setSingleStep(1);
    slider_->setPageStep(1);
    slider_->setTracking(true);
    slider_->setFocusPolicy(Qt::ClickFocus);
    slider_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    currentLabel_ = makeLabel(this, systemFont(kCaptionPixels, false), &gray);
    currentLabel_->setContentsMargins(0, 0, kSideInset, 0);
    currentLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    launchLabel_ = makeLabel(this, systemFont(kSwitchLabelPixels, false));
    launchSwitch_ = new SwitchToggle(this);

    // The application in front: its name as a title, then its own switch.
    frontRow_ = new QWidget(this);
    frontNameLabel_ = makeLabel(frontRow_, systemFont(kTitlePixels, true), &secondary);
    frontNameLabel_->setContentsMargins(kSideInset, 0, kSideInset, 0);
    frontNameLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    frontLabel_ = makeLabel(frontRow_, systemFont(kSwitchLabelPixels, false));
    frontSwitch_ = new SwitchToggle(frontRow_);
    auto* frontGroup = new QVBoxLayout(frontRow_);
    frontGroup->setContentsMargins(0, 0, 0, 0);
    frontGroup->setSpacing(kGroupSpacing);
    frontGroup->addWidget(frontNameLabel_);
    frontGroup->addLayout(switchRow(frontLabel_, frontSwitch_));

    auto* sliderRow = new QHBoxLayout;
    sliderRow->setContentsMargins(kSideInset, 0, kSideInset, 0);
    sliderRow->setSpacing(kSliderRowSpacing);
    sliderRow->addWidget(fastLabel_, 0, Qt::AlignVCenter);
    sliderRow->addWidget(slider_, 1, Qt::AlignVCenter);
    sliderRow->addWidget(slowLabel_, 0, Qt::AlignVCenter);

    auto* currentRow = new QHBoxLayout;
    currentRow->addStretch(1);
    currentRow->addWidget(currentLabel_, 0, Qt::AlignVCenter);

    auto* durationGroup = new QVBoxLayout;
    durationGroup->setSpacing(kGroupSpacing);
    durationGroup->addWidget(titleLabel_, 0, Qt::AlignLeft);
    durationGroup->addLayout(sliderRow);
    durationGroup->addLayout(currentRow);

    auto* stack = new QVBoxLayout;
    stack->setSpacing(kStackSpacing);
    stack->addLayout(switchRow(enabledLabel_, enableSwitch_));
    stack->addWidget(frontRow_);
    stack->addWidget(new Divider(this));
    stack->addLayout(durationGroup);
    stack->addWidget(new Divider(this));
    stack->addLayout(switchRow(launchLabel_, launchSwitch_));

    // The stack sits centred in the panel's fixed height, inset on every edge.
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(kOuterInset, kOuterInset, kOuterInset, kOuterInset);
    outer->setSpacing(0);
    outer->addStretch(1);
    outer->addLayout(stack);
    outer->addStretch(1);
}

void MenuSliderView::showDuration(double seconds) {
    currentLabel_->setText(currentSettingText(seconds));
    const QSignalBlocker noWriteBack(slider_);
    slider_->setValue(sliderPosition(seconds));
}

void MenuSliderView::showSwitches() {
    const bool isEnabled = KeyboardManager::shared().isEnabled;
    const bool launchAtLogin = isLaunchAtLoginOn();
    const QSignalBlocker noFlip(enableSwitch_), noAction(launchSwitch_);
    enableSwitch_->setChecked(isEnabled);
    enabledLabel_->setText(enabledLabelText(isEnabled));
    launchSwitch_->setChecked(launchAtLogin);
    launchLabel_->setText(launchAtLoginLabelText(launchAtLogin));

    shownFront_ = rules_.frontApplication();
    const QSignalBlocker noRule(frontSwitch_);
    // Nothing in front (or nothing known of it): a dash and a switch that
    // cannot be flipped.
    const int room = kWidth - 2 * (kOuterInset + kSideInset);
    frontNameLabel_->setText(shownFront_.isEmpty() ? QStringLiteral("—")
                                                   : frontNameLabel_->fontMetrics().elidedText(
                                                         shownFront_, Qt::ElideMiddle, room));
    frontSwitch_->setEnabled(!shownFront_.isEmpty());
    frontSwitch_->setChecked(rules_.isGuardOnIn(shownFront_));
}

void MenuSliderView::showEvent(QShowEvent* event) {
    // The other panel may have flipped a switch since this one was last shown.
    showSwitches();
    QWidget::showEvent(event);
}

void MenuSliderView::userFlippedEnabled(bool isEnabled) {
    enabledLabel_->setText(enabledLabelText(isEnabled));
    enabledChanged(isEnabled);
}

void MenuSliderView::userFlippedLaunchAtLogin(bool launchAtLogin) {
    if (!launchAtLoginChanged(launchAtLogin)) {
        // The change failed: show what will really happen at the next login.
        const QSignalBlocker noAction(launchSwitch_);
        launchSwitch_->setChecked(isLaunchAtLoginOn());
    }
    launchLabel_->setText(launchAtLoginLabelText(launchSwitch_->isChecked()));
}

void MenuSliderView::userMovedSlider(int position) {
    // Tenths divided by ten give the plain doubles 0.2, 0.3, ... 1.0.
    preferences_.setLongPressDuration(position / 10.0);
}

void MenuSliderView::mousePressEvent(QMouseEvent* event) {
    event->accept();
}
void MenuSliderView::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
}
void MenuSliderView::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
}

}  // namespace sendhold
