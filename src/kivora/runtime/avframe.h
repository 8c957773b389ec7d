#pragma once
// Owning holders for FFmpeg objects, and the frame holder the views keep.
// Only libavutil's frame header comes with it.
#include <memory>

extern "C" {
#include <libavutil/frame.h>
}

namespace kivora {

// One deleter template for all FFmpeg objects: F is the release call.
template <auto F>
struct AVDeleter {
  template <typename T>
  void operator()(T* p) const noexcept {
    if (!p) return;
    if constexpr (requires { F(&p); }) {
      F(&p);  // calls of the form av_xxx_free(T**)
    } else {
      F(p);
    }
  }
};

using AVFramePtr = std::unique_ptr<AVFrame, AVDeleter<av_frame_free>>;

}  // namespace kivora
