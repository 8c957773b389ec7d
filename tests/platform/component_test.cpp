#include "kivora/platform/component.h"

#include <gtest/gtest.h>

#include <memory>

namespace kivora {
namespace {

// Records what it was told and, like a real component, drops its reference
// to a partner that goes away.
class Recorder : public TComponent {
public:
  using TComponent::TComponent;
  TComponent* partner = nullptr;
  std::vector<TComponent*> removed;
  std::function<void(TComponent*)> onRemove;

protected:
  void Notification(TComponent* component, TOperation operation) override {
    ASSERT_EQ(operation, TOperation::opRemove);
    removed.push_back(component);
    if (component == partner) partner = nullptr;
    if (onRemove) onRemove(component);
  }
};

TEST(ComponentTest, NotificationReachesEitherSide) {
  // The one who asked is told when the other dies...
  {
    auto a = std::make_unique<Recorder>();
    auto b = std::make_unique<Recorder>();
    a->partner = b.get();
    a->FreeNotification(b.get());
    TComponent* dying = b.get();
    b.reset();
    ASSERT_EQ(a->removed.size(), 1u);
    EXPECT_EQ(a->removed[0], dying);
    EXPECT_EQ(a->partner, nullptr);
  }
  // ...and the other is told when the one who asked dies first.
  {
    auto a = std::make_unique<Recorder>();
    auto b = std::make_unique<Recorder>();
    b->partner = a.get();
    a->FreeNotification(b.get());
    TComponent* dying = a.get();
    a.reset();
    ASSERT_EQ(b->removed.size(), 1u);
    EXPECT_EQ(b->removed[0], dying);
  }
}

TEST(ComponentTest, LinkingTwiceOrToSelfNotifiesOnce) {
  auto a = std::make_unique<Recorder>();
  auto b = std::make_unique<Recorder>();
  a->FreeNotification(b.get());
  a->FreeNotification(b.get());
  b->FreeNotification(a.get());
  a->FreeNotification(a.get());
  a->FreeNotification(nullptr);
  b.reset();
  EXPECT_EQ(a->removed.size(), 1u);
  a.reset();  // must not tell the already-destroyed b, nor itself
}

TEST(ComponentTest, RemoveFreeNotificationCutsBothDirections) {
  auto a = std::make_unique<Recorder>();
  auto b = std::make_unique<Recorder>();
  a->FreeNotification(b.get());
  b->RemoveFreeNotification(a.get());
  b.reset();
  EXPECT_TRUE(a->removed.empty());
  auto c = std::make_unique<Recorder>();
  a->FreeNotification(c.get());
  a->RemoveFreeNotification(c.get());
  a.reset();
  EXPECT_TRUE(c->removed.empty());
}

TEST(ComponentTest, ReceiverMayTouchTheLinksOfTheDyingComponent) {
  // While told about a death, a receiver unlinks, and destroys a third
  // component linked to the dying one: no dangling pointer, no second call.
  auto a = std::make_unique<Recorder>();
  auto b = std::make_unique<Recorder>();
  auto c = std::make_unique<Recorder>();
  auto d = std::make_unique<Recorder>();
  a->FreeNotification(b.get());
  a->FreeNotification(c.get());
  a->FreeNotification(d.get());
  d->onRemove = [&](TComponent* dying) {
    dying->RemoveFreeNotification(d.get());
    c.reset();
  };
  b->onRemove = [&](TComponent* dying) { dying->FreeNotification(b.get()); };
  a.reset();
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(b->removed.size(), 1u);
  EXPECT_EQ(d->removed.size(), 1u);
  b.reset();  // the relink during destruction left nothing behind
  d.reset();
}

TEST(ComponentTest, OwnerReferenceClearedWhenOwnerDies) {
  auto owner = std::make_unique<Recorder>();
  Recorder child(owner.get());
  EXPECT_EQ(child.Owner(), owner.get());
  owner.reset();
  EXPECT_EQ(child.Owner(), nullptr);
  EXPECT_EQ(child.removed.size(), 1u);
}

}  // namespace
}  // namespace kivora
