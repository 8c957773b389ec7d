#include "kivora/presentation/videoview.h"
#include "kivora/presentation/player_link.h"

#include <QEvent>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPainter>
#include <QScreen>
#include <algorithm>
#include <mutex>

#include "kivora/platform/classes.h"
#include "kivora/platform/imagewrap.h"

namespace kivora {

namespace {

// Views add themselves when made and remove themselves when destroyed; the
// list itself is never destroyed, so a view that outlives static
// destruction still finds it.
struct TViewList {
  std::mutex Lock;
  std::vector<TVideoView*> Views;
};
TViewList& ViewList() {
  static auto* l = new TViewList;
  return *l;
}

}  // namespace

TVideoView::TVideoView(QWidget* parent, TComponent* owner) : QWidget(parent), TComponent(owner) {
  if (QGuiApplication::instance())
    if (QScreen* s = QGuiApplication::primaryScreen()) FScale = static_cast<float>(s->devicePixelRatio());
  {
    auto& l = ViewList();
    std::lock_guard<std::mutex> g(l.Lock);
    l.Views.push_back(this);
  }
  WatchAncestors();
}

TVideoView::~TVideoView() {
  SetPlayer(nullptr);
  for (QWidget* w : FWatched) w->removeEventFilter(this);
  auto& l = ViewList();
  std::lock_guard<std::mutex> g(l.Lock);
  l.Views.erase(std::remove(l.Views.begin(), l.Views.end(), this), l.Views.end());
}

void TVideoView::SetPlayer(TAVPlayer* Value) {
  RelinkPlayer(*this, *this, FPlayer, Value);
}

void TVideoView::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == FPlayer) FPlayer = nullptr;
}

void TVideoView::SetLocked(bool v) {
  FLocked = v;
  update();
}

void TVideoView::UpdateMedia() { RealignView(); }

void TVideoView::ScheduleUpdateMedia() {
  // One reparent is a hide and a new parent, one show may bring its pending
  // resize: the changes of one pass reach the surface as one update.
  if (FUpdatePending) return;
  FUpdatePending = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        FUpdatePending = false;
        UpdateMedia();
      },
      Qt::QueuedConnection);
}

void TVideoView::WatchAncestors() {
  for (QWidget* w : FWatched) w->removeEventFilter(this);
  FWatched.clear();
  for (QWidget* w = parentWidget(); w; w = w->parentWidget()) {
    w->installEventFilter(this);
    FWatched.push_back(w);
  }
}

bool TVideoView::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Move && std::find(FWatched.begin(), FWatched.end(), watched) != FWatched.end())
    ScheduleUpdateMedia();  // an ancestor moved, and the view with it
  else if (event->type() == QEvent::ParentChange && watched != this)
    WatchAncestors();  // an ancestor moved to another parent: a new chain
  else if (event->type() == QEvent::Destroy)
    FWatched.erase(std::remove(FWatched.begin(), FWatched.end(), watched), FWatched.end());
  return QWidget::eventFilter(watched, event);
}

void TVideoView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  ScheduleUpdateMedia();
}

void TVideoView::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  ScheduleUpdateMedia();
}

void TVideoView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  ScheduleUpdateMedia();
}

void TVideoView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  ScheduleUpdateMedia();
}

void TVideoView::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::ParentChange) {
    WatchAncestors();
    ScheduleUpdateMedia();
  }
}

void TVideoView::paintEvent(QPaintEvent*) {
  if (!Designing() || FLocked) return;
  QPainter painter(this);
  DrawDesignBorder(painter, QRectF(0, 0, width(), height()), 1.0);
}

void RealignVideoViews() {
  for (TVideoView* v : VideoViews()) {
    // A view destroyed by an earlier one's update is skipped.
    auto& l = ViewList();
    {
      std::lock_guard<std::mutex> g(l.Lock);
      if (std::find(l.Views.begin(), l.Views.end(), v) == l.Views.end()) continue;
    }
    v->UpdateMedia();
  }
}

std::vector<TVideoView*> VideoViews() {
  auto& l = ViewList();
  std::lock_guard<std::mutex> g(l.Lock);
  return l.Views;
}

TVideoViewPool::~TVideoViewPool() { Cleanup(); }

void TVideoViewPool::CreateOneMoreInstance() { FReadyToUse.push_back(TVideoViewInstance{FNextId++}); }

TVideoViewInstance TVideoViewPool::UIGetInstance() {
  if (FReadyToUse.empty()) CreateOneMoreInstance();
  const TVideoViewInstance i = FReadyToUse.front();
  FReadyToUse.erase(FReadyToUse.begin());
  FUsed.push_back(i);
  return i;
}

void TVideoViewPool::UIReturnInstance(const TVideoViewInstance& Instance) {
  auto it = std::find(FUsed.begin(), FUsed.end(), Instance);
  if (it == FUsed.end()) return;
  const TVideoViewInstance i = *it;
  // Out of use before the freeze, so a freeze that returns it again does
  // nothing.
  FUsed.erase(it);
  UIFreezeInstance(i);
  FReadyToUse.push_back(i);
}

void TVideoViewPool::Cleanup() {
  while (!FUsed.empty()) UIReturnInstance(FUsed.front());
}

TVideoViewPool& VideoViewPool() {
  static auto* p = new TVideoViewPool;
  return *p;
}

// Makes the class known by name to stored forms and tools.
KIVORA_REGISTER_WIDGET(TVideoView, "video view");

}  // namespace kivora
