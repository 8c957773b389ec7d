#include "kivora/platform/component.h"

#include <algorithm>

namespace kivora {

TComponent::TComponent(TComponent* owner) : FOwner(owner) {
  // The owner link is watched like any other, so Owner() never dangles when
  // the owner goes first.
  if (owner) FreeNotification(owner);
}

TComponent::~TComponent() {
  FDestroying = true;
  // Take one partner at a time: a partner's Notification may unlink others,
  // link again or destroy a third component that is linked to us, and each of
  // those edits FFreeNotifies. Unlinking before telling means the partner
  // never sees us again, even if it calls back into us.
  while (!FFreeNotifies.empty()) {
    TComponent* other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    other->Unlink(this);
    other->Notification(this, TOperation::opRemove);
  }
  FOwner = nullptr;
}

void TComponent::FreeNotification(TComponent* other) {
  // A component being destroyed takes no new links: they would point at it
  // after it is gone.
  if (!other || other == this || FDestroying || other->FDestroying) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), other) == FFreeNotifies.end())
    FFreeNotifies.push_back(other);
  if (std::find(other->FFreeNotifies.begin(), other->FFreeNotifies.end(), this) == other->FFreeNotifies.end())
    other->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  if (!other || other == this) return;
  // The owner link stays: it is what keeps Owner() safe.
  if (other == FOwner || other->FOwner == this) return;
  Unlink(other);
  other->Unlink(this);
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::Unlink(TComponent* other) {
  std::erase(FFreeNotifies, other);
  if (FOwner == other) FOwner = nullptr;
}

}  // namespace kivora
