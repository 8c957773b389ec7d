#pragma once
// Shared pieces of the player tests: a recording view and media made once
// per test program.
#include <QApplication>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kivora/platform/mainthread.h"
#include "kivora/player/player.h"
#include "support/event_pump.h"
#include "support/media_fixtures.h"

namespace kivora::testing {

// A view that remembers what the player gave it.
class RecordingView : public IAVView {
public:
  void DoVideoDisplay(AVFrame* f) override {
    std::lock_guard<std::mutex> g(lock);
    onGuiThread = onGuiThread && MainThread::IsMainThread();
    formats.push_back(f->format);
    sizes.emplace_back(f->width, f->height);
    numbers.push_back(f->format == AV_PIX_FMT_RGBA
                          ? ReadFrameNumber(f->data[0], f->width, f->height, f->linesize[0])
                          : ReadFrameNumber(f));
  }
  void SetViewSize(int w, int h) override {
    std::lock_guard<std::mutex> g(lock);
    viewSizes.emplace_back(w, h);
  }
  void Clear(uint32_t c) override {
    std::lock_guard<std::mutex> g(lock);
    clears.push_back(c);
  }
  std::vector<int> Numbers() {
    std::lock_guard<std::mutex> g(lock);
    return numbers;
  }
  int Count() {
    std::lock_guard<std::mutex> g(lock);
    return static_cast<int>(numbers.size());
  }
  int Last() {
    std::lock_guard<std::mutex> g(lock);
    return numbers.empty() ? -2 : numbers.back();
  }

  std::mutex lock;
  std::vector<int> numbers;
  std::vector<int> formats;
  std::vector<std::pair<int, int>> sizes;
  std::vector<std::pair<int, int>> viewSizes;
  std::vector<uint32_t> clears;
  bool onGuiThread = true;
};

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

// A video-only H.264 clip: frames numbered 0..frames-1 at 25 fps.
inline const std::string& VideoClip(int frames = 75) {
  MediaSpec s;
  s.audio_codec = AV_CODEC_ID_NONE;
  s.frames = frames;
  s.gop = 10;
  return Media::Get().File("video" + std::to_string(frames) + ".mp4", s);
}

}  // namespace kivora::testing
