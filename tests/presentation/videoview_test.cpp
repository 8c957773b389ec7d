// TVideoView: one UpdateMedia for every change of geometry, visibility and
// parent, detaching, the designer border; the pool and the view list.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPixmap>
#include <memory>

#include "kivora/presentation/videoview.h"
#include "support/event_pump.h"

using namespace kivora;
using namespace kivora::testing;

namespace {

class CountingView : public TVideoView {
public:
  using TVideoView::TVideoView;
  int realigns = 0;

protected:
  void RealignView() override { ++realigns; }
};

void Flush() {
  QApplication::processEvents();
  QApplication::processEvents();
}

TEST(VideoView, EveryChangeLeadsToExactlyOneUpdateMedia) {
  EnsureApp();
  QWidget window, other;
  window.resize(300, 200);
  other.resize(300, 200);
  QWidget inner(&window);
  inner.setGeometry(10, 10, 200, 150);
  auto* view = new CountingView(&inner);
  view->setGeometry(5, 5, 100, 80);
  window.show();
  other.show();
  Flush();
  struct Step {
    const char* name;
    std::function<void()> change;
  };
  const std::vector<Step> steps = {
      {"resize", [&] { view->resize(120, 90); }},
      {"move", [&] { view->move(7, 9); }},
      {"hide", [&] { view->hide(); }},
      {"show", [&] { view->show(); }},
      {"parent move", [&] { inner.move(30, 20); }},
      {"grandparent hidden", [&] { window.hide(); }},
      {"grandparent shown", [&] { window.show(); }},
      {"reparent", [&] {
         view->setParent(&other);
         view->show();
       }},
      {"new parent moves", [&] { other.move(other.x() + 5, other.y()); }},
  };
  for (const Step& s : steps) {
    view->realigns = 0;
    s.change();
    Flush();
    EXPECT_EQ(view->realigns, 1) << s.name;
  }
  // The old parent's moves no longer concern it.
  view->realigns = 0;
  inner.move(40, 40);
  Flush();
  EXPECT_EQ(view->realigns, 0);
  // RealignVideoViews reaches every view there is.
  ASSERT_NE(std::find(VideoViews().begin(), VideoViews().end(), view), VideoViews().end());
  RealignVideoViews();
  EXPECT_EQ(view->realigns, 1);
  delete view;
  EXPECT_EQ(std::find(VideoViews().begin(), VideoViews().end(), view), VideoViews().end());
}

TEST(VideoView, DetachesFromAGonePlayerAndDrawsTheBorderOnlyWhileDesigning) {
  EnsureApp();
  TVideoView view;
  {
    TAVPlayer player;
    view.SetPlayer(&player);
    view.SetPlayer(&player);  // no second registration
    EXPECT_EQ(view.Player(), &player);
  }
  EXPECT_EQ(view.Player(), nullptr);
  EXPECT_GT(view.Scale(), 0.0f);
  view.resize(40, 30);
  view.setAutoFillBackground(true);
  QPalette pal = view.palette();
  pal.setColor(QPalette::Window, Qt::white);
  view.setPalette(pal);
  const QRgb running = view.grab().toImage().pixel(0, 15);
  view.SetDesigning(true);
  const QRgb designing = view.grab().toImage().pixel(0, 15);
  view.SetLocked(true);
  const QRgb locked = view.grab().toImage().pixel(0, 15);
  EXPECT_EQ(running, qRgb(255, 255, 255));
  EXPECT_NE(designing, running) << "no border while designing";
  EXPECT_LT(qRed(designing), 255);
  EXPECT_EQ(locked, running);
}

class RecordingPool : public TVideoViewPool {
public:
  std::vector<uint64_t> frozen;
  bool returnAgain = false;

protected:
  void UIFreezeInstance(const TVideoViewInstance& i) override {
    frozen.push_back(i.Id);
    if (returnAgain) UIReturnInstance(i);  // a freeze that returns it itself
  }
};

TEST(VideoViewPool, InstancesMoveBetweenReadyAndUsedOnce) {
  RecordingPool pool;
  const TVideoViewInstance a = pool.UIGetInstance();
  EXPECT_NE(a.Id, 0u);
  EXPECT_EQ(pool.Used().size(), 1u);
  EXPECT_TRUE(pool.ReadyToUse().empty());
  pool.UIReturnInstance(a);
  EXPECT_TRUE(pool.Used().empty());
  EXPECT_EQ(pool.ReadyToUse().size(), 1u);
  EXPECT_EQ(pool.frozen, std::vector<uint64_t>{a.Id});
  // Returned twice, or never handed out: nothing happens.
  pool.UIReturnInstance(a);
  pool.UIReturnInstance(TVideoViewInstance{999});
  pool.UIReturnInstance(TVideoViewInstance{});
  EXPECT_EQ(pool.ReadyToUse().size(), 1u);
  EXPECT_EQ(pool.frozen.size(), 1u);
  // A ready instance is reused before a new one is made.
  EXPECT_EQ(pool.UIGetInstance().Id, a.Id);
  const TVideoViewInstance b = pool.UIGetInstance();
  const TVideoViewInstance c = pool.UIGetInstance();
  EXPECT_NE(b.Id, c.Id);
  pool.returnAgain = true;
  pool.Cleanup();
  EXPECT_TRUE(pool.Used().empty());
  EXPECT_EQ(pool.ReadyToUse().size(), 3u);
  pool.CreateOneMoreInstance();
  EXPECT_EQ(pool.ReadyToUse().size(), 4u);
  EXPECT_EQ(&VideoViewPool(), &VideoViewPool());
}

}  // namespace
