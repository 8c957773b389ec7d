#pragma once
// Base of every component. A component that refers to another asks it for a
// free notification; when either is destroyed the other is told, so neither
// keeps a dangling pointer.
//
// Nothing here locks: link, unlink and destroy linked components on one
// thread at a time.
#include <mutex>
#include <string>
#include <vector>

namespace kivora {

enum class TOperation { opInsert, opRemove };

class TComponent {
public:
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // Ask to be told (Notification(this_other, opRemove)) when `other` dies.
  // The link is mutual: `other` is told too when this component dies first.
  // Null, this component, or one being destroyed: nothing happens.
  void FreeNotification(TComponent* other);
  // The owner link stays.
  void RemoveFreeNotification(TComponent* other);

  const std::string& Name() const { return FName; }
  void SetName(const std::string& name) { FName = name; }
  // Null when there is none or once the owner is destroyed.
  TComponent* Owner() const { return FOwner; }

  // Design mode: the component is being edited in a designer, not run.
  bool Designing() const { return FDesigning; }
  void SetDesigning(bool v) { FDesigning = v; }

protected:
  // Called when a component linked through FreeNotification is destroyed
  // (operation opRemove, from its destructor, already unlinked).
  virtual void Notification(TComponent* component, TOperation operation);

private:
  void Unlink(TComponent* other);
  TComponent* FOwner;
  std::string FName;
  bool FDesigning = false;
  bool FDestroying = false;  // set while the destructor tells the others
  std::vector<TComponent*> FFreeNotifies;
};

}  // namespace kivora
