#pragma once
// What the player lists about each stream of the open input.
#include <string>

#include "kivora/platform/stringlist.h"

extern "C" {
struct AVStream;
}

namespace kivora {

class TAVStreamProperties {
public:
  // Reads the decoder name and the stream's metadata (both only when FFmpeg
  // has a decoder for the stream's codec).
  explicit TAVStreamProperties(AVStream* stream);

  AVStream* Stream() const { return FStream; }
  const TStringList& Metas() const { return FMetas; }
  void SetMetas(const TStringList& v) { FMetas.Assign(v); }
  const std::string& CodecName() const { return FCodecName; }
  // FFmpeg's media type of the stream: 0 video, 1 audio, 3 subtitle; -1 when unknown.
  int StreamType() const { return FStreamType; }

private:
  AVStream* FStream;
  TStringList FMetas;
  std::string FCodecName;
  int FStreamType = -1;
};

}  // namespace kivora
