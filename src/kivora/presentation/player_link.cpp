#include "kivora/presentation/player_link.h"

#include "kivora/player/player.h"

namespace kivora {

bool RelinkPlayer(TComponent& owner, IAVView& view, TAVPlayer*& current, TAVPlayer* next) {
  if (next == current) return false;
  if (current) {
    owner.RemoveFreeNotification(current);
    current->UnRegisterView(&view);
  }
  current = next;
  if (current) {
    current->RegisterView(&view);
    owner.FreeNotification(current);
  }
  return true;
}

}  // namespace kivora
