#pragma once
// Conversion profiles: disc and device targets, encoder presets, custom profiles and profile files.
#include "kivora/profiles/profile.h"
#include "kivora/profiles/targets.h"
#include "kivora/profiles/custom.h"
#include "kivora/profiles/catalog.h"
