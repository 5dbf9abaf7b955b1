#include "SwitchToggle.h"

#include <QPainter>
#include <QPainterPath>

namespace sendhold {
namespace {

// The size of a "mini" switch.
constexpr int kTrackWidth = 26;
constexpr int kTrackHeight = 15;
constexpr int kKnobInset = 1;

}  // namespace

SwitchToggle::SwitchToggle(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    // Inside a popup menu the menu keeps the keyboard; clicks are enough.
    setFocusPolicy(Qt::NoFocus);
}

QSize SwitchToggle::sizeHint() const {
    return {kTrackWidth, kTrackHeight};
}

void SwitchToggle::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track =
        QRectF(0, 0, kTrackWidth, kTrackHeight)
            .translated((width() - kTrackWidth) / 2.0, (height() - kTrackHeight) / 2.0)
            .adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = track.height() / 2;

    QColor fill = isChecked() ? palette().color(QPalette::Highlight) : QColor(0, 0, 0, 40);
    if (!isEnabled()) fill.setAlphaF(fill.alphaF() * 0.5);
    if (isDown()) fill = fill.darker(115);
    painter.setPen(QPen(QColor(0, 0, 0, isChecked() ? 30 : 50), 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(track, radius, radius);

    const qreal knobSize = track.height() - 2 * kKnobInset;
    const qreal knobX =
        isChecked() ? track.right() - kKnobInset - knobSize : track.left() + kKnobInset;
    const QRectF knob(knobX, track.top() + kKnobInset, knobSize, knobSize);
    painter.setPen(QPen(QColor(0, 0, 0, 60), 0.5));
    painter.setBrush(Qt::white);
    painter.drawEllipse(knob);
}

Divider::Divider(QWidget* parent) : QWidget(parent) {
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Divider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor line = palette().color(QPalette::WindowText);
    line.setAlpha(40);
    painter.fillRect(rect(), line);
}

}  // namespace sendhold
