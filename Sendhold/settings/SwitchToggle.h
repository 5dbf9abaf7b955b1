#pragma once

#include <QAbstractButton>

namespace sendhold {

// A small switch-styled toggle: a rounded track with a round knob, at the left
// when off and at the right, on the accent colour, when on. Qt has no switch.
class SwitchToggle final : public QAbstractButton {
    Q_OBJECT
  public:
    explicit SwitchToggle(QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

// A thin horizontal separator line across its width.
class Divider final : public QWidget {
    Q_OBJECT
  public:
    explicit Divider(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace sendhold
