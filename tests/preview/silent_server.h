#pragma once
// A TCP listener on 127.0.0.1 that takes connections and never answers: an
// input that hangs every reader until it gives up.
#include <string>

#include "support/loopback_listener.h"

namespace kivora::testing {

class SilentServer {
public:
  SilentServer() = default;
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  // An HTTP URL on the listener; empty when it could not be set up.
  std::string Url() const {
    return FListener.Port() ? "http://127.0.0.1:" + std::to_string(FListener.Port()) + "/clip.mp4" : "";
  }

private:
  LoopbackListener FListener;
};

}  // namespace kivora::testing
