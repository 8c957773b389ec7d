#pragma once
// The preview control (TAVPreview, a widget showing a media file's picture at a
// chosen time) and its engine TPreviewDecoder, for pictures without a widget.
#include "kivora/preview/preview.h"
#include "kivora/preview/preview_decoder.h"
