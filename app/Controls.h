// Small widgets in place of the component packs the windows were designed with: a two-thumb
// track bar, a colour list, an auto-repeat arrow button, the placeholder of the layered image
// view, and the application-wide event hook. Main thread only, like every widget.
#pragma once

#include <QColor>
#include <QComboBox>
#include <QFrame>
#include <QObject>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QWidget>

#include "app/MessageBox.h"

#include <functional>

// Message boxes shown modally over `parent` (QMessageBox).
TMessageBoxFunc ModalMessageBox(QWidget* parent);

// Track bar with a lower and an upper thumb over Min..Max. The thumbs never leave the range
// and never pass each other: a value beyond the other thumb stops at it. OnChange is emitted
// when a thumb's position changes, by code or by the mouse.
class TTrackBar2 : public QWidget {
    Q_OBJECT
  public:
    explicit TTrackBar2(QWidget* parent = nullptr);

    int Min() const { return FMin; }
    int Max() const { return FMax; }
    int PositionL() const { return FPositionL; }
    int PositionU() const { return FPositionU; }

    // A minimum above the maximum raises the maximum, and the other way round.
    void SetMin(int value);
    void SetMax(int value);
    // Clamped to Min..PositionU.
    void SetPositionL(int value);
    // Clamped to PositionL..Max.
    void SetPositionU(int value);
    // Both thumbs at once, so a new period beyond the old upper thumb is not cut by it:
    // lower is clamped to the range, upper to lower..Max.
    void SetPositions(int lower, int upper);

    QSize sizeHint() const override;

  signals:
    void OnChange();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void Apply(int min, int max, int lower, int upper);
    int ValueAt(int x) const;
    int XOf(int value) const;

    int FMin = 0;
    int FMax = 10;
    int FPositionL = 0;
    int FPositionU = 10;
    int FDragThumb = -1; // 0 lower, 1 upper, -1 none
};

// Colour list: the 16 standard colours (black, maroon, green, olive, navy, purple, teal, grey,
// silver, red, lime, yellow, blue, fuchsia, aqua, white), then a few more.
class TColorBox : public QComboBox {
    Q_OBJECT
  public:
    explicit TColorBox(QWidget* parent = nullptr);

    // The colour of the selected entry (black when nothing is selected).
    QColor Selected() const;
    // Selects the entry of that colour; a colour not in the list gets an entry of its own.
    void SetSelected(const QColor& color);
};

// Small arrow button that repeats its click every 100 ms while held.
class TArrowButton : public QToolButton {
    Q_OBJECT
  public:
    TArrowButton(Qt::ArrowType direction, QWidget* parent = nullptr);
};

// Stand-in for the layered image view: a framed area where the preview picture goes.
class TImgView : public QFrame {
    Q_OBJECT
  public:
    explicit TImgView(QWidget* parent = nullptr);
};

// List rows of a fixed height (the watermark list's rows are 24 pixels high).
class TFixedHeightDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    TFixedHeightDelegate(int height, QObject* parent)
        : QStyledItemDelegate(parent), FHeight(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

  private:
    int FHeight;
};

// Sees every event the application dispatches, before its receiver does. OnMessage may set
// `handled` to stop the event there.
class TApplicationEvents : public QObject {
    Q_OBJECT
  public:
    // Installs itself on the application; deleting it removes it again.
    explicit TApplicationEvents(QObject* parent = nullptr);

    std::function<void(QObject* receiver, QEvent* event, bool& handled)> OnMessage;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
