#pragma once
// QObject adapters with Qt signals and properties for the player, converter, preview and motion detector.
#include "kivora/qt/adapters.h"
#include "kivora/qt/preview_adapters.h"
