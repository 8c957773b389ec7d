#include "kivora/runtime/ffmpeg.h"

namespace kivora {

std::string AVErrorString(int errnum) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  // For an unknown code av_strerror still writes a generic text.
  av_strerror(errnum, buf, sizeof buf);
  return buf;
}

}  // namespace kivora
