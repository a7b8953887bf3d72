// The stand-in widgets and the main-thread hooks.
#include "app/Controls.h"
#include "platform/MainThread.h"

#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct TBarState {
    int min, max, lower, upper;
    bool operator==(const TBarState&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TBarState& s) {
    return os << "[" << s.min << ".." << s.max << " L" << s.lower << " U" << s.upper << "]";
}

TBarState StateOf(const TTrackBar2& bar) {
    return {bar.Min(), bar.Max(), bar.PositionL(), bar.PositionU()};
}

TEST(TTrackBar2, ThumbsStayInRangeAndInOrder) {
    enum Op { L, U, Min, Max, Both };
    struct Row {
        const char* what;
        Op op;
        int a, b;
        TBarState expected;
        bool changes; // OnChange is expected (a thumb moved)
    } rows[] = {
        {"lower inside", L, 7, 0, {0, 20, 7, 10}, true},
        {"lower past upper stops at it", L, 12, 0, {0, 20, 10, 10}, true},
        {"lower below min", L, -3, 0, {0, 20, 0, 10}, true},
        {"lower unchanged", L, 5, 0, {0, 20, 5, 10}, false},
        {"upper below lower stops at it", U, 3, 0, {0, 20, 5, 5}, true},
        {"upper above max", U, 30, 0, {0, 20, 5, 20}, true},
        {"max below upper pulls it", Max, 8, 0, {0, 8, 5, 8}, true},
        {"max below both", Max, 3, 0, {0, 3, 3, 3}, true},
        {"max below min pulls min", Max, -5, 0, {-5, -5, -5, -5}, true},
        {"max grows, thumbs stay", Max, 100, 0, {0, 100, 5, 10}, false},
        {"min above lower pushes it", Min, 7, 0, {7, 20, 7, 10}, true},
        {"min above both", Min, 15, 0, {15, 20, 15, 15}, true},
        {"min above max pushes max", Min, 30, 0, {30, 30, 30, 30}, true},
        {"both beyond the old upper", Both, 12, 18, {0, 20, 12, 18}, true},
        {"both reversed", Both, 15, 3, {0, 20, 15, 15}, true},
        {"both out of range", Both, -4, 99, {0, 20, 0, 20}, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        TTrackBar2 bar;
        bar.SetMax(20);
        bar.SetPositions(5, 10);
        ASSERT_EQ(StateOf(bar), (TBarState{0, 20, 5, 10}));
        QSignalSpy spy(&bar, &TTrackBar2::OnChange);
        switch (r.op) {
        case L:
            bar.SetPositionL(r.a);
            break;
        case U:
            bar.SetPositionU(r.a);
            break;
        case Min:
            bar.SetMin(r.a);
            break;
        case Max:
            bar.SetMax(r.a);
            break;
        case Both:
            bar.SetPositions(r.a, r.b);
            break;
        }
        EXPECT_EQ(StateOf(bar), r.expected);
        EXPECT_EQ(spy.count(), r.changes ? 1 : 0);
    }
}

TEST(TTrackBar2, MouseDragsTheNearerThumb) {
    TTrackBar2 bar;
    bar.resize(212, 24); // 200 pixels of track between the thumb margins
    bar.SetMax(100);
    bar.SetPositions(20, 80);
    auto x_of = [&](int v) { return 6 + v * 200 / 100; };

    // Drag the upper thumb far to the left: it stops at the lower one.
    QTest::mousePress(&bar, Qt::LeftButton, {}, QPoint(x_of(78), 12));
    EXPECT_EQ(bar.PositionU(), 78);
    QTest::mouseMove(&bar, QPoint(1, 12));
    QTest::mouseRelease(&bar, Qt::LeftButton, {}, QPoint(1, 12));
    EXPECT_EQ(StateOf(bar), (TBarState{0, 100, 20, 20}));

    // With both thumbs on one place, a press right of them takes the upper one.
    QTest::mousePress(&bar, Qt::LeftButton, {}, QPoint(x_of(50), 12));
    QTest::mouseRelease(&bar, Qt::LeftButton, {}, QPoint(x_of(50), 12));
    EXPECT_EQ(StateOf(bar), (TBarState{0, 100, 20, 50}));
    // And a press left of the lower one moves the lower one.
    QTest::mousePress(&bar, Qt::LeftButton, {}, QPoint(x_of(5), 12));
    QTest::mouseRelease(&bar, Qt::LeftButton, {}, QPoint(x_of(5), 12));
    EXPECT_EQ(StateOf(bar), (TBarState{0, 100, 5, 50}));
}

TEST(TColorBox, StandardColoursFirstThenMore) {
    const QRgb standard[] = {
        qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
        qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(128, 128, 128),
        qRgb(192, 192, 192), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
        qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
    TColorBox box;
    ASSERT_GT(box.count(), 16);
    for (int i = 0; i < 16; ++i) {
        SCOPED_TRACE(i);
        box.setCurrentIndex(i);
        EXPECT_EQ(box.Selected(), QColor(standard[i]));
    }

    box.SetSelected(QColor(0, 0, 255));
    EXPECT_EQ(box.currentIndex(), 12);
    const int count = box.count();
    box.SetSelected(QColor(1, 2, 3));
    EXPECT_EQ(box.count(), count + 1) << "a colour not in the list gets an entry";
    EXPECT_EQ(box.Selected(), QColor(1, 2, 3));
    box.SetSelected(QColor(1, 2, 3));
    EXPECT_EQ(box.count(), count + 1) << "and only one";
}

TEST(TArrowButton, RepeatsEvery100ms) {
    TArrowButton b(Qt::UpArrow);
    EXPECT_TRUE(b.autoRepeat());
    EXPECT_EQ(b.autoRepeatInterval(), 100);
    EXPECT_EQ(b.arrowType(), Qt::UpArrow);
}

// A call queued by a worker runs on the main thread from the Qt event loop, woken by the hook;
// a synchronised call returns to the worker after that.
TEST(MainThreadHooks, WorkerCallsRunInTheEventLoop) {
    QEventLoop loop;
    std::atomic<bool> queued_on_main{false}, synced_on_main{false};
    std::thread worker([&] {
        Queue([&] { queued_on_main = IsMainThread(); });
        Synchronize([&] { synced_on_main = IsMainThread(); });
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    // Guards against a hang only; the worker normally ends the loop at once.
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    worker.join();
    EXPECT_TRUE(queued_on_main);
    EXPECT_TRUE(synced_on_main);
}

} // namespace
