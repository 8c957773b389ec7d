#pragma once
// The converter: TAVConverter and the options of a conversion.
#include "kivora/converter/converter.h"
#include "kivora/converter/options.h"
