#pragma once
// Motion detection over bitmaps or decoded pictures.
#include "kivora/preview/motiondetect.h"
