#pragma once
// Shared pieces of the player tests: a recording view, a sound recorder,
// a loopback listener and media made once per test program.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kivora/platform/bitmap.h"
#include "kivora/platform/mainthread.h"
#include "kivora/player/audio/mixer.h"
#include "kivora/player/player.h"
#include "kivora/runtime/ffmpeg.h"
#include "support/event_pump.h"
#include "support/loopback_listener.h"
#include "support/media_fixtures.h"

namespace kivora::testing {

using Clock = std::chrono::steady_clock;
using Rgb = std::array<int, 3>;

inline void Wait(int ms) { PumpUntil([] { return false; }, ms); }

// Waits for `pred`, pumping Qt's events when the test runs with a Qt
// application (`qt`), else sleeping while the player's threads work.
inline bool Await(bool qt, const std::function<bool()>& pred, int ms) {
  if (qt) return PumpUntil(pred, ms);
  for (int i = 0; i < ms / 5; ++i) {
    if (pred()) return true;
    usleep(5000);
  }
  return pred();
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The three components at (x, y): R, G, B for RGBA pictures, Y, U, V (the
// chroma sample covering the pixel) for 4:2:0 pictures.
inline Rgb SampleAt(const AVFrame* f, int x, int y) {
  switch (f->format) {
    case AV_PIX_FMT_RGBA: {
      const uint8_t* p = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0] + x * 4;
      return {p[0], p[1], p[2]};
    }
    case AV_PIX_FMT_YUV420P:
      return {f->data[0][y * f->linesize[0] + x], f->data[1][(y / 2) * f->linesize[1] + x / 2],
              f->data[2][(y / 2) * f->linesize[2] + x / 2]};
    case AV_PIX_FMT_NV12: {
      const uint8_t* uv = f->data[1] + static_cast<ptrdiff_t>(y / 2) * f->linesize[1] + (x / 2) * 2;
      return {f->data[0][y * f->linesize[0] + x], uv[0], uv[1]};
    }
    default:
      return {-1, -1, -1};
  }
}

// One picture a view was given: its frame number, format, size and the
// components at the view's probe points (where they lie inside it).
struct Shot {
  int number = -2, format = -1, width = 0, height = 0;
  std::vector<Rgb> values;
};

// A view that remembers what the player gave it.
class RecordingView : public IAVView {
public:
  explicit RecordingView(std::vector<std::pair<int, int>> at = {}) : probes(std::move(at)) {}
  void DoVideoDisplay(AVFrame* f) override {
    Shot s{f->format == AV_PIX_FMT_RGBA ? ReadFrameNumber(f->data[0], f->width, f->height, f->linesize[0])
                                        : ReadFrameNumber(f),
           f->format, f->width, f->height, {}};
    for (auto [x, y] : probes) s.values.push_back(x < f->width && y < f->height ? SampleAt(f, x, y) : Rgb{-1, -1, -1});
    std::lock_guard<std::mutex> g(lock);
    onGuiThread = onGuiThread && MainThread::IsMainThread();
    shots.push_back(std::move(s));
  }
  void SetViewSize(int w, int h) override {
    std::lock_guard<std::mutex> g(lock);
    viewSizes.emplace_back(w, h);
  }
  void Clear(uint32_t c) override {
    std::lock_guard<std::mutex> g(lock);
    clears.push_back(c);
  }
  // Pictures shown from the index-th on.
  std::vector<Shot> Since(size_t index = 0) {
    std::lock_guard<std::mutex> g(lock);
    return std::vector<Shot>(shots.begin() + static_cast<ptrdiff_t>(std::min(index, shots.size())), shots.end());
  }
  std::vector<int> Numbers() {
    std::vector<int> n;
    for (const Shot& s : Since()) n.push_back(s.number);
    return n;
  }
  int Count() {
    std::lock_guard<std::mutex> g(lock);
    return static_cast<int>(shots.size());
  }
  Shot LastShot() {
    std::lock_guard<std::mutex> g(lock);
    return shots.empty() ? Shot{} : shots.back();
  }
  int Last() { return LastShot().number; }

  std::mutex lock;
  std::vector<Shot> shots;
  std::vector<std::pair<int, int>> viewSizes;
  std::vector<uint32_t> clears;
  bool onGuiThread = true;
  std::vector<std::pair<int, int>> probes;  // set before the view is registered
};

// Everything the player delivered through OnAudioBuffer (stereo S16 at
// MIX_FREQ), in order.
class AudioRecorder {
public:
  void Attach(TAVPlayer& p) {
    p.OnAudioBuffer = [this](TComponent*, void* buf, int size) {
      std::lock_guard<std::mutex> g(lock);
      sizes.push_back(size);
      const auto* s = static_cast<const int16_t*>(buf);
      samples.insert(samples.end(), s, s + size / 2);
      if (sink) sink(buf, size);
    };
  }
  size_t Frames() {
    std::lock_guard<std::mutex> g(lock);
    return samples.size() / 2;
  }
  // Stereo samples from frame `from` on (a copy).
  std::vector<int16_t> From(size_t from) {
    std::lock_guard<std::mutex> g(lock);
    if (from * 2 >= samples.size()) return {};
    return std::vector<int16_t>(samples.begin() + static_cast<ptrdiff_t>(from * 2), samples.end());
  }
  int Calls() {
    std::lock_guard<std::mutex> g(lock);
    return static_cast<int>(sizes.size());
  }
  // Pitch of the last `seconds` heard; 0 when less than that was heard.
  double RecentHz(double seconds) {
    std::lock_guard<std::mutex> g(lock);
    const size_t frames = static_cast<size_t>(seconds * MIX_FREQ);
    if (samples.size() / 2 < frames) return 0;
    return MeasureToneHz(samples.data() + samples.size() - frames * 2, frames, 2, MIX_FREQ);
  }
  // Pumps events until `frames` more sample frames have arrived.
  bool WaitFrames(size_t frames, int timeout_ms = 15000) {
    const size_t target = Frames() + frames;
    return PumpUntil([&] { return Frames() >= target; }, timeout_ms);
  }

  std::mutex lock;
  std::vector<int16_t> samples;
  std::vector<int> sizes;
  std::function<void(void*, int)> sink;  // runs on the sound thread, under the recorder's lock
};

// Sends all of `bytes`, unless the peer goes away or `stop` is set.
inline void SendAll(int fd, const std::string& bytes, const std::atomic<bool>* stop = nullptr) {
  for (size_t off = 0; off < bytes.size() && !(stop && *stop);) {
    const ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
}

// Media files shared by every test of the program, made on first use.
class Media {
public:
  static Media& Get() {
    static Media m;
    return m;
  }
  // A file for media, made once under the given key.
  const std::string& File(const std::string& key, const MediaSpec& media) {
    std::lock_guard<std::mutex> g(FLock);
    auto it = FFiles.find(key);
    if (it != FFiles.end()) return it->second;
    std::string path = MakeMedia(FDir.Path(key), media);
    return FFiles.emplace(key, path).first->second;
  }
  std::string Path(const std::string& name) const { return FDir.Path(name); }

private:
  TempDir FDir;
  std::mutex FLock;
  std::map<std::string, std::string> FFiles;
};

// A video-only clip (H.264 in MP4 unless changed): frames numbered
// 0..frames-1 at 25 fps, a key frame every 10.
inline const std::string& VideoClip(int frames = 75, const std::string& container = "mp4") {
  MediaSpec s;
  s.container = container;
  s.audio_codec = AV_CODEC_ID_NONE;
  s.frames = frames;
  s.gop = 10;
  return Media::Get().File("video" + std::to_string(frames) + "." + container, s);
}

// One stream taken from a file into a new one, optionally relabelled.
struct Source {
  std::string file;
  int stream = 0;
  int disposition = -1;  // -1: as in the source
  AVCodecID codec = AV_CODEC_ID_NONE;  // NONE: as in the source
};

// Writes the given streams, in the given order, into a Matroska file in the
// test folder.
inline std::string Merge(const std::string& name, const std::vector<Source>& sources) {
  const std::string out = Media::Get().Path(name);
  auto check = [&](int ret, const char* what) {
    if (ret < 0) throw std::runtime_error(std::string(what) + ": " + AVErrorString(ret) + " (" + name + ")");
  };
  AVFormatContext* oc = nullptr;
  check(avformat_alloc_output_context2(&oc, nullptr, "matroska", out.c_str()), "output");
  AVFormatContextPtr owner(oc);
  struct Pending {
    double time;
    AVRational tb;
    AVPacketPtr pkt;
  };
  std::vector<Pending> packets;
  for (size_t i = 0; i < sources.size(); i++) {
    const Source& src = sources[i];
    AVFormatContext* raw = nullptr;
    check(avformat_open_input(&raw, src.file.c_str(), nullptr, nullptr), "input");
    AVInputContextPtr ic(raw);
    check(avformat_find_stream_info(ic.get(), nullptr), "stream info");
    AVStream* is = ic->streams[src.stream];
    AVStream* os = avformat_new_stream(oc, nullptr);
    if (!os) throw std::runtime_error("out of memory");
    check(avcodec_parameters_copy(os->codecpar, is->codecpar), "parameters");
    os->codecpar->codec_tag = 0;
    if (src.codec != AV_CODEC_ID_NONE) os->codecpar->codec_id = src.codec;
    os->time_base = is->time_base;
    os->disposition = src.disposition >= 0 ? src.disposition : is->disposition;
    av_dict_copy(&os->metadata, is->metadata, 0);
    AVPacketPtr pkt(av_packet_alloc());
    double last = -1e9;  // packets keep their order within a stream
    while (av_read_frame(ic.get(), pkt.get()) >= 0) {
      if (pkt->stream_index == src.stream) {
        const int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
        if (ts != AV_NOPTS_VALUE) last = std::max(last, ts * av_q2d(is->time_base));
        pkt->stream_index = static_cast<int>(i);
        packets.push_back({last, is->time_base, AVPacketPtr(av_packet_clone(pkt.get()))});
      }
      av_packet_unref(pkt.get());
    }
  }
  check(avio_open(&oc->pb, out.c_str(), AVIO_FLAG_WRITE), "open for writing");
  struct CloseOnExit {
    AVFormatContext* oc;
    ~CloseOnExit() { avio_closep(&oc->pb); }
  } closer{oc};
  check(avformat_write_header(oc, nullptr), "header");
  std::stable_sort(packets.begin(), packets.end(), [](const Pending& a, const Pending& b) { return a.time < b.time; });
  for (Pending& p : packets) {
    av_packet_rescale_ts(p.pkt.get(), p.tb, oc->streams[p.pkt->stream_index]->time_base);
    check(av_interleaved_write_frame(oc, p.pkt.get()), "writing");
  }
  check(av_write_trailer(oc), "trailer");
  return out;
}

// A test that owns one player, closed and destroyed at its end.
class PlayerFixture : public ::testing::Test {
protected:
  void SetUp() override { EnsureApp(); }
  void TearDown() override {
    if (player) {
      player->CloseMovie();
      PumpUntil([&] { return !player->Playing(); }, 15000);
      EXPECT_FALSE(player->Playing());
      player.reset();
    }
  }
  TAVPlayer& Make(bool disableAudio = true, bool disableVideo = false) {
    player = std::make_unique<TAVPlayer>();
    player->SetDisableAudio(disableAudio);
    player->SetDisableVideo(disableVideo);
    player->RegisterView(&view);
    ears.Attach(*player);
    return *player;
  }
  RecordingView view;
  AudioRecorder ears;
  std::unique_ptr<TAVPlayer> player;
};

inline void CloseAndWait(TAVPlayer& p, int timeout_ms = 10000) {
  ASSERT_TRUE(p.CloseMovie());
  ASSERT_TRUE(PumpUntil([&] { return !p.Playing(); }, timeout_ms));
}

}  // namespace kivora::testing
