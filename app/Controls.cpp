#include "app/Controls.h"

#include <QApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

#include <algorithm>
#include <cmath>

namespace {
constexpr int kThumbWidth = 10;
constexpr int kMargin = kThumbWidth / 2 + 1;
} // namespace

// ---- TTrackBar2 ----

TTrackBar2::TTrackBar2(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TTrackBar2::Apply(int min, int max, int lower, int upper) {
    const bool moved = lower != FPositionL || upper != FPositionU;
    const bool changed = moved || min != FMin || max != FMax;
    FMin = min;
    FMax = max;
    FPositionL = lower;
    FPositionU = upper;
    if (changed) update();
    if (moved) emit OnChange();
}

void TTrackBar2::SetMin(int value) {
    const int max = std::max(FMax, value);
    const int lower = std::clamp(FPositionL, value, max);
    Apply(value, max, lower, std::clamp(FPositionU, lower, max));
}

void TTrackBar2::SetMax(int value) {
    const int min = std::min(FMin, value);
    const int upper = std::clamp(FPositionU, min, value);
    Apply(min, value, std::clamp(FPositionL, min, upper), upper);
}

void TTrackBar2::SetPositionL(int value) {
    Apply(FMin, FMax, std::clamp(value, FMin, FPositionU), FPositionU);
}

void TTrackBar2::SetPositionU(int value) {
    Apply(FMin, FMax, FPositionL, std::clamp(value, FPositionL, FMax));
}

void TTrackBar2::SetPositions(int lower, int upper) {
    const int l = std::clamp(lower, FMin, FMax);
    Apply(FMin, FMax, l, std::clamp(upper, l, FMax));
}

QSize TTrackBar2::sizeHint() const {
    return {160, 24};
}

int TTrackBar2::XOf(int value) const {
    const int span = std::max(1, width() - 2 * kMargin);
    if (FMax == FMin) return kMargin;
    return kMargin + int(int64_t(value - FMin) * span / (FMax - FMin));
}

int TTrackBar2::ValueAt(int x) const {
    const int span = std::max(1, width() - 2 * kMargin);
    const double v = FMin + double(x - kMargin) * (FMax - FMin) / span;
    return std::clamp(int(std::lround(v)), FMin, FMax);
}

void TTrackBar2::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    const int cy = height() / 2;
    const int left = kMargin, right = width() - kMargin;

    p.setPen(pal.color(QPalette::Mid));
    p.setBrush(pal.color(QPalette::Base));
    p.drawRoundedRect(QRectF(left, cy - 2, right - left, 4), 2, 2);

    const int xl = XOf(FPositionL), xu = XOf(FPositionU);
    p.setPen(Qt::NoPen);
    p.setBrush(isEnabled() ? pal.color(QPalette::Highlight) : pal.color(QPalette::Mid));
    p.drawRect(QRectF(xl, cy - 2, xu - xl, 4));

    p.setPen(pal.color(QPalette::Dark));
    p.setBrush(pal.color(QPalette::Button));
    for (int x : {xl, xu}) {
        const QPointF thumb[] = {{x - kThumbWidth / 2.0, cy - 8.0},
                                 {x + kThumbWidth / 2.0, cy - 8.0},
                                 {x + kThumbWidth / 2.0, cy + 4.0},
                                 {double(x), cy + 9.0},
                                 {x - kThumbWidth / 2.0, cy + 4.0}};
        p.drawPolygon(thumb, 5);
    }
}

void TTrackBar2::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    const int x = int(event->position().x());
    const int dl = std::abs(x - XOf(FPositionL)), du = std::abs(x - XOf(FPositionU));
    // Stacked thumbs: the side of the click decides which one follows.
    if (dl == du)
        FDragThumb = x > XOf(FPositionU) ? 1 : 0;
    else
        FDragThumb = dl < du ? 0 : 1;
    mouseMoveEvent(event);
}

void TTrackBar2::mouseMoveEvent(QMouseEvent* event) {
    if (FDragThumb < 0) return;
    const int v = ValueAt(int(event->position().x()));
    if (FDragThumb == 0)
        SetPositionL(v);
    else
        SetPositionU(v);
}

void TTrackBar2::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) FDragThumb = -1;
    QWidget::mouseReleaseEvent(event);
}

// ---- TColorBox ----

namespace {
struct TNamedColor {
    const char* name;
    QRgb rgb;
};

constexpr TNamedColor kColors[] = {
    {"Black", qRgb(0, 0, 0)},
    {"Maroon", qRgb(128, 0, 0)},
    {"Green", qRgb(0, 128, 0)},
    {"Olive", qRgb(128, 128, 0)},
    {"Navy", qRgb(0, 0, 128)},
    {"Purple", qRgb(128, 0, 128)},
    {"Teal", qRgb(0, 128, 128)},
    {"Gray", qRgb(128, 128, 128)},
    {"Silver", qRgb(192, 192, 192)},
    {"Red", qRgb(255, 0, 0)},
    {"Lime", qRgb(0, 255, 0)},
    {"Yellow", qRgb(255, 255, 0)},
    {"Blue", qRgb(0, 0, 255)},
    {"Fuchsia", qRgb(255, 0, 255)},
    {"Aqua", qRgb(0, 255, 255)},
    {"White", qRgb(255, 255, 255)},
    {"Money Green", qRgb(192, 220, 192)},
    {"Sky Blue", qRgb(166, 202, 240)},
    {"Cream", qRgb(255, 251, 240)},
    {"Medium Gray", qRgb(160, 160, 164)},
};

QIcon Swatch(const QColor& color) {
    QPixmap pm(16, 12);
    pm.fill(color);
    QPainter p(&pm);
    p.setPen(Qt::darkGray);
    p.drawRect(0, 0, pm.width() - 1, pm.height() - 1);
    return QIcon(pm);
}
} // namespace

TColorBox::TColorBox(QWidget* parent) : QComboBox(parent) {
    setMaxVisibleItems(16);
    for (const auto& c : kColors)
        addItem(Swatch(QColor(c.rgb)), c.name, QColor(c.rgb));
}

QColor TColorBox::Selected() const {
    const QVariant v = currentData();
    return v.isValid() ? v.value<QColor>() : QColor(Qt::black);
}

void TColorBox::SetSelected(const QColor& color) {
    const QColor opaque = QColor(color.rgb());
    for (int i = 0; i < count(); ++i) {
        if (itemData(i).value<QColor>() == opaque) {
            setCurrentIndex(i);
            return;
        }
    }
    addItem(Swatch(opaque), opaque.name(), opaque);
    setCurrentIndex(count() - 1);
}

// ---- TArrowButton ----

TArrowButton::TArrowButton(Qt::ArrowType direction, QWidget* parent) : QToolButton(parent) {
    setArrowType(direction);
    setAutoRepeat(true);
    setAutoRepeatDelay(300);
    setAutoRepeatInterval(100);
    setFixedSize(18, 12);
}

// ---- TImgView ----

TImgView::TImgView(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(96, 96, 96));
    setPalette(pal);
}

// ---- TFixedHeightDelegate ----

QSize TFixedHeightDelegate::sizeHint(const QStyleOptionViewItem& option,
                                     const QModelIndex& index) const {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setHeight(FHeight);
    return s;
}

// ---- TApplicationEvents ----

TApplicationEvents::TApplicationEvents(QObject* parent) : QObject(parent) {
    if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(this);
}

bool TApplicationEvents::eventFilter(QObject* watched, QEvent* event) {
    bool handled = false;
    if (OnMessage) OnMessage(watched, event, handled);
    return handled;
}

// ---- message boxes ----

TMessageBoxFunc ModalMessageBox(QWidget* parent) {
    return [parent](const std::string& text, const std::string& caption, TMsgButtons buttons,
                    TMsgIcon icon) {
        QMessageBox box(parent);
        box.setWindowTitle(QString::fromStdString(caption));
        box.setText(QString::fromStdString(text));
        switch (icon) {
        case TMsgIcon::None:
            box.setIcon(QMessageBox::NoIcon);
            break;
        case TMsgIcon::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case TMsgIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        case TMsgIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        }
        if (buttons == TMsgButtons::YesNo) {
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            return box.exec() == QMessageBox::Yes ? int(mrYes) : int(mrNo);
        }
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
        return int(mrOk);
    };
}
