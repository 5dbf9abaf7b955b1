#include "KeyboardIcon.h"

#include <QPainter>
#include <QSvgRenderer>

// The glyph's resource lives in a static library; a linker keeps it only when
// something calls its initialiser, which must be named outside any namespace.
static void loadIconResources() {
    static const bool loaded = [] {
        Q_INIT_RESOURCE(app);
        return true;
    }();
    (void)loaded;
}

namespace sendhold {

namespace {

// A glyph centred on a transparent square of the requested size.
QPixmap centred(const QPixmap& glyph, int size) {
    QPixmap canvas(size, size);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    const QSize scaled = glyph.size().scaled(size, size, Qt::KeepAspectRatio);
    const QRect target((size - scaled.width()) / 2, (size - scaled.height()) / 2, scaled.width(),
                       scaled.height());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(target, glyph);
    return canvas;
}

}  // namespace

QPixmap builtInKeyboardGlyph(int size) {
    QPixmap canvas(size, size);
    canvas.fill(Qt::transparent);
    loadIconResources();
    QSvgRenderer renderer(QStringLiteral(":/sendhold/keyboard.svg"));
    QPainter painter(&canvas);
    renderer.render(&painter, QRectF(0, 0, size, size));
    return canvas;
}

QPixmap keyboardGlyph(int size) {
    const QIcon themed = QIcon::fromTheme(QStringLiteral("input-keyboard"));
    if (!themed.isNull()) {
        const QPixmap pixmap = themed.pixmap(size, size);
        if (!pixmap.isNull()) return centred(pixmap, size);
    }
    return builtInKeyboardGlyph(size);
}

QPixmap keyboardPixmap(bool enabled, int size) {
    const QPixmap glyph = keyboardGlyph(size);
    if (enabled) return glyph;
    QPixmap faded(glyph.size());
    faded.fill(Qt::transparent);
    QPainter painter(&faded);
    painter.setOpacity(kOffIconOpacity);
    painter.drawPixmap(0, 0, glyph);
    return faded;
}

QIcon keyboardIcon(bool enabled) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(keyboardPixmap(enabled, size));
    return icon;
}

QString stateDescription(bool enabled) {
    return enabled ? QStringLiteral("On") : QStringLiteral("Off");
}

}  // namespace sendhold
