#pragma once
// The whole public API of Kivora in one include.
#include "kivora/version.h"

// The small toolkit and runtime layer the components stand on.
#include "kivora/platform/bitmap.h"
#include "kivora/platform/classes.h"
#include "kivora/platform/component.h"
#include "kivora/platform/exception.h"
#include "kivora/platform/inifile.h"
#include "kivora/platform/mainthread.h"
#include "kivora/platform/message.h"
#include "kivora/platform/semaphore.h"
#include "kivora/platform/stream.h"
#include "kivora/platform/stringlist.h"
#include "kivora/platform/thread.h"
#include "kivora/platform/timer.h"

// Start-up, logging, FFmpeg helpers and pixel bridging.
#include "kivora/runtime/avbitmap.h"
#include "kivora/runtime/avlib.h"
#include "kivora/runtime/cmdutils.h"
#include "kivora/runtime/events.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/runtime/register.h"
#include "kivora/runtime/utils.h"

// Application streams as inputs and outputs ("stream:" URLs).
#include "kivora/io/aes_stream.h"
#include "kivora/io/async_stream.h"
#include "kivora/io/url.h"

// The player and its parts.
#include "kivora/player/audio/mixer.h"
#include "kivora/player/clock.h"
#include "kivora/player/decoder.h"
#include "kivora/player/filtergraph.h"
#include "kivora/player/packet_queue.h"
#include "kivora/player/player.h"
#include "kivora/player/stream_properties.h"

// Widgets that show what the player plays, and the recorder of what a widget draws.
#include "kivora/presentation/view.h"
#include "kivora/presentation/widget_capture.h"

// The converter and the options of a conversion.
#include "kivora/converter/converter.h"
#include "kivora/converter/options.h"

// Conversion profiles: targets, presets, custom profiles and profile files.
#include "kivora/profiles/catalog.h"
#include "kivora/profiles/custom.h"
#include "kivora/profiles/profile.h"
#include "kivora/profiles/targets.h"

// The preview control, its decoding engine, and the motion detector.
#include "kivora/preview/motiondetect.h"
#include "kivora/preview/preview.h"
#include "kivora/preview/preview_decoder.h"

// The camera and microphone recorder.
#include "kivora/recorder/recorder.h"
#include "kivora/qt/adapters.h"
#include "kivora/qt/preview_adapters.h"
