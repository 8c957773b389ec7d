#pragma once
// Inside the resolver: the byte I/O behind one opened URL, and the openers
// of each kind of custom input. Components use url.h instead.
#include <string>

#include "kivora/io/url.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

class TUrlIO {
public:
  virtual ~TUrlIO() = default;
  AVIOContext* Context() const { return FPb.get(); }
  // Called on every packet read from the input this I/O serves, to give it
  // what its demuxer could not know (the capture time of a bitmap).
  virtual void FinishPacket(AVFormatContext*, AVPacket*) {}

protected:
  TUrlIO() = default;
  AVIOContextPtr FPb;
};

// "stream:" for reading or writing; nullptr and err set on failure. options
// go to the connection of an encrypted network stream.
TUrlIOPtr OpenStreamIO(const std::string& url, bool write, const AVIOInterruptCB* cb, AVDictionary** options,
                       int& err);
// "buffer:<inner>" for reading; options go to the inner open as they would
// to avio_open2 (what it does not take is left in them).
TUrlIOPtr OpenBufferIO(const std::string& url, const AVIOInterruptCB* cb, AVDictionary** options, int& err);
// Opens the input of a "bmpcap" format: the bitmap that name numbers, read
// as raw video. Same contract as OpenInputUrl.
int OpenBitmapCaptureInput(AVFormatContext** ic, const std::string& name, AVDictionary** options, TUrlIOPtr& io);

}  // namespace kivora
