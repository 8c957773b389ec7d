#pragma once
// The player: TAVPlayer, its views' interface IAVView and its stream lists.
#include "kivora/player/player.h"
#include "kivora/player/stream_properties.h"
