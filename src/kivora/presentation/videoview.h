#pragma once
// TVideoView: a control that attaches to a TAVPlayer like TAVView but leaves
// the drawing to a platform video surface placed over its area; it passes
// every change of its position, size, parent and visibility on to that
// surface through UpdateMedia. Here the surface hooks (RealignView,
// UpdateSurface) do nothing: a platform with a surface overrides them.
//
// TVideoViewPool keeps the surfaces' instances, ready or in use, and
// RealignVideoViews realigns every view that exists.
#include <QWidget>
#include <cstdint>
#include <vector>

#include "kivora/platform/component.h"
#include "kivora/player/player.h"

namespace kivora {

// A widget: every method, and the surface hooks, run on the GUI thread.
class TVideoView : public QWidget, public TComponent, public IAVView {
  Q_OBJECT
  // Qt properties for Designer's property editor and for forms compiled by
  // uic. uic sets a property X by calling setX(value), hence the lower-case
  // set adapters below.
  Q_PROPERTY(bool Locked READ Locked WRITE setLocked)

public:
  explicit TVideoView(QWidget* parent = nullptr, TComponent* owner = nullptr);
  ~TVideoView() override;

  // The player the view is registered with; not owned. The view detaches
  // itself when the player is destroyed.
  TAVPlayer* Player() const { return FPlayer; }
  void SetPlayer(TAVPlayer* Value);
  // Device pixels per logical pixel of the screen, read when the view was made.
  float Scale() const { return FScale; }
  // A locked view shows no designer border even while designing.
  bool Locked() const { return FLocked; }
  void SetLocked(bool v);
  void setLocked(bool v) { SetLocked(v); }

  // ---- IAVView: the surface shows the pictures, so these do nothing ----
  void DoVideoDisplay(AVFrame*) override {}
  void SetViewSize(int, int) override {}
  void Clear(uint32_t) override {}

  // Passes the view's geometry and visibility on to the surface. Every
  // change of them leads to exactly one call: the changes made before the
  // event loop runs again are passed on together.
  void UpdateMedia();

protected:
  // Moves, resizes, shows or hides the surface; nothing here.
  virtual void RealignView() {}
  // Refreshes the surface's picture; nothing here.
  virtual void UpdateSurface() {}

  void Notification(TComponent* component, TOperation operation) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void ScheduleUpdateMedia();
  void WatchAncestors();

  float FScale = 1.0f;
  TAVPlayer* FPlayer = nullptr;
  bool FLocked = false;
  bool FUpdatePending = false;
  std::vector<QWidget*> FWatched;  // ancestors whose moves move the view on screen
};

// Calls UpdateMedia on every view that exists. GUI thread.
void RealignVideoViews();
// The views that exist, in the order they were made. Any thread.
std::vector<TVideoView*> VideoViews();

// One platform surface of the pool. Each instance has its own id (never 0).
struct TVideoViewInstance {
  uint64_t Id = 0;
  bool operator==(const TVideoViewInstance& o) const { return Id == o.Id; }
};

// No lock: the pool is for the GUI thread.
class TVideoViewPool {
public:
  TVideoViewPool() = default;
  virtual ~TVideoViewPool();
  TVideoViewPool(const TVideoViewPool&) = delete;
  TVideoViewPool& operator=(const TVideoViewPool&) = delete;

  // Adds one new instance to the ready ones.
  void CreateOneMoreInstance();
  // Takes a ready instance (making one when none is ready) into use.
  TVideoViewInstance UIGetInstance();
  // Stops an instance in use and makes it ready again. An instance that is
  // not in use (unknown, or returned already) is left alone.
  void UIReturnInstance(const TVideoViewInstance& Instance);
  // Returns every instance in use.
  void Cleanup();

  const std::vector<TVideoViewInstance>& Used() const { return FUsed; }
  const std::vector<TVideoViewInstance>& ReadyToUse() const { return FReadyToUse; }

protected:
  // Stops an instance's surface before it is reused; nothing here.
  virtual void UIFreezeInstance(const TVideoViewInstance&) {}

private:
  std::vector<TVideoViewInstance> FUsed;
  std::vector<TVideoViewInstance> FReadyToUse;
  uint64_t FNextId = 1;
};

// The process's pool, made on first use and never destroyed.
TVideoViewPool& VideoViewPool();

}  // namespace kivora
