#pragma once
// Stand-in until the settings branch is merged.
#include <QWidget>
namespace sendhold {
class MenuSliderView : public QWidget {
public:
    explicit MenuSliderView(QWidget* parent = nullptr);
};
void enabledChanged(bool isEnabled);
void installPreferencesSeam();
}  // namespace sendhold
