#pragma once
// Application streams as inputs and outputs ("stream:" URLs), asynchronous and AES-encrypted streams.
#include "kivora/io/url.h"
#include "kivora/io/async_stream.h"
#include "kivora/io/aes_stream.h"
