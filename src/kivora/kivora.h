#pragma once
// The whole public API of Kivora in one include. Each part also has its own
// header (kivora/player.h, kivora/converter.h, ...) that compiles on its own.
#include "kivora/version.h"

// The small toolkit and runtime layer the components stand on.
#include "kivora/platform/bitmap.h"
#include "kivora/platform/classes.h"
#include "kivora/platform/component.h"
#include "kivora/platform/exception.h"
#include "kivora/platform/imagewrap.h"
#include "kivora/platform/inifile.h"
#include "kivora/platform/mainthread.h"
#include "kivora/platform/message.h"
#include "kivora/platform/semaphore.h"
#include "kivora/platform/stream.h"
#include "kivora/platform/stringlist.h"
#include "kivora/platform/thread.h"
#include "kivora/platform/timer.h"

// Start-up, logging, events, the class page, small helpers and pixel bridging.
#include "kivora/runtime/avbitmap.h"
#include "kivora/runtime/avframe.h"
#include "kivora/runtime/avlib.h"
#include "kivora/runtime/events.h"
#include "kivora/runtime/register.h"
#include "kivora/runtime/utils.h"

#include "kivora/converter.h"
#include "kivora/io.h"
#include "kivora/motion.h"
#include "kivora/player.h"
#include "kivora/preview.h"
#include "kivora/profiles.h"
#include "kivora/qt.h"
#include "kivora/recorder.h"
#include "kivora/views.h"
