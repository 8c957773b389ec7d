#pragma once
// Where every component turns a URL into an FFmpeg input or output: files
// and network URLs go to FFmpeg as they are; "stream:<n>[.ext]" names a live
// TStream of the application (n is its LiveId(), the extension only helps
// FFmpeg guess the container) and is read or written through custom I/O;
// "buffer:<inner URL>" reads the inner URL (any of these) in large, whole
// pieces; and the input format "bmpcap" reads a live TBitmap, named by its
// LiveId() in decimal, as raw RGBA video.
#include <cstdint>
#include <memory>
#include <string>

#include "kivora/platform/bitmap.h"
#include "kivora/platform/stream.h"

struct AVFormatContext;
struct AVInputFormat;
struct AVDictionary;
struct AVIOInterruptCB;
struct AVPacket;

namespace kivora {

// Every function here may be called from any thread; a context opened here
// and its io are then used by one thread at a time.

// True for URLs of the "buffer:" scheme.
bool IsBufferUrl(const std::string& url);

// The name of the bitmap capture input format, and what FindInputFormat
// gives for it. That record is only a name for OpenInputUrl: it cannot be
// handed to FFmpeg itself.
inline constexpr char kBitmapCaptureFormatName[] = "bmpcap";
const AVInputFormat* BitmapCaptureFormat();
// The file name that a "bmpcap" input opens to capture bitmap.
std::string BmpCaptureName(const TBitmap& bitmap);
// The input format an application names (the player's InputFormat, the
// converter's InputFormats): FFmpeg's demuxers and "bmpcap"; nullptr for an
// unknown name.
const AVInputFormat* FindInputFormat(const std::string& name);

// "stream:<n>" or "stream:<n>.<ext>" for a stream; ext without the dot.
std::string StreamUrl(const TStream& stream, const std::string& ext = "");
// The live stream a "stream:" URL names, or nullptr (not such a URL, a
// malformed number, or no live stream of that number). No claim is taken:
// the pointer is good only while the application keeps the stream alive.
TStream* GetStreamFromUrl(const std::string& url);
// True for URLs of the "stream:" scheme, well formed or not.
bool IsStreamUrl(const std::string& url);

// The byte I/O behind one opened "stream:" URL. It must outlive the format
// context it serves: close or free that first, then this.
class TUrlIO;
struct TUrlIODeleter {
  void operator()(TUrlIO* io) const noexcept;
};
using TUrlIOPtr = std::unique_ptr<TUrlIO, TUrlIODeleter>;

// avformat_open_input for any URL, with the same contract: *ic may be a
// context the caller allocated (its interrupt callback is also used while a
// "stream:" read waits for data, and by the inner open of "buffer:") and is
// freed on failure. io receives the custom I/O, if the URL needs one.
// Returns 0 or a negative FFmpeg error: AVERROR(EINVAL) for a "stream:" URL
// that names no live stream and for a "bmpcap" name that names no live,
// non-empty bitmap of a size FFmpeg takes; AVERROR(EBUSY) for a stream that
// another input or output has open. A TAVAESNetStream is connected to its
// own URL here, with a copy of options and the context's interrupt callback;
// its connection's errors come back as they are.
int OpenInputUrl(AVFormatContext** ic, const std::string& url, const AVInputFormat* fmt,
                 AVDictionary** options, TUrlIOPtr& io);
// av_read_frame for an input that OpenInputUrl opened (io may be null):
// a "bmpcap" packet gets its time here, so read those inputs only this way.
// That time is in microseconds of wall-clock time (the open's, moved on by
// the monotonic clock); a packet lasts one frame at the "framerate" option
// (ntsc unless set).
int ReadInputFrame(AVFormatContext* ic, TUrlIO* io, AVPacket* pkt);

// Gives an output context its byte output for url (nothing for muxers that
// write no file): avio_open2 for files and network URLs, custom I/O over the
// stream for "stream:" (a plain stream is emptied first; a TAVAsyncStream is
// marked not seekable). Returns 0 or a negative FFmpeg error
// (AVERROR(ENOSYS) for "buffer:", which only reads).
int OpenOutputUrl(AVFormatContext* oc, const std::string& url, const AVIOInterruptCB* cb,
                  AVDictionary** options, TUrlIOPtr& io);
// Flushes and closes what OpenOutputUrl gave oc; returns 0 or the first
// write error.
int CloseOutputUrl(AVFormatContext* oc, TUrlIOPtr& io);

}  // namespace kivora
