#pragma once
// The link every view keeps to the player it shows.
namespace kivora {

class TComponent;
class IAVView;
class TAVPlayer;

// Moves view from the player in current to next (either may be null): the
// old player forgets the view and stops telling owner it is going away, the
// new one learns both. Returns false when next is already the player.
bool RelinkPlayer(TComponent& owner, IAVView& view, TAVPlayer*& current, TAVPlayer* next);

}  // namespace kivora
