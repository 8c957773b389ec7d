#pragma once
// Widgets that show what a player plays (TAVView, TVideoView, TAVGLView), the GPU materials, and the recorder of what a widget draws.
#include "kivora/presentation/view.h"
#include "kivora/presentation/videoview.h"
#include "kivora/presentation/glview.h"
#include "kivora/presentation/materials.h"
#include "kivora/presentation/widget_capture.h"
