#pragma once
// The camera and microphone recorder.
#include "kivora/recorder/recorder.h"
