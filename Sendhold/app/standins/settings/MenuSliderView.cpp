#include "settings/MenuSliderView.h"
#include <QCheckBox>
#include <QVBoxLayout>
#include "KeyboardManager/KeyboardManager.h"
#include "settings/NotificationCenter.h"
namespace sendhold {
MenuSliderView::MenuSliderView(QWidget* parent) : QWidget(parent) {
    setFixedSize(270, 175);
    auto* layout = new QVBoxLayout(this);
    auto* box = new QCheckBox(QStringLiteral("Sendhold"), this);
    box->setChecked(KeyboardManager::shared().isEnabled);
    connect(box, &QCheckBox::toggled, this, [](bool on) { enabledChanged(on); });
    layout->addWidget(box);
    layout->addStretch();
}
void enabledChanged(bool isEnabled) {
    KeyboardManager::shared().isEnabled = isEnabled;
    NotificationCenter::defaultCenter().post(kUpdateIconNotification);
}
void installPreferencesSeam() {}
}  // namespace sendhold
