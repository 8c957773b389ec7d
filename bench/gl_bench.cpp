// The GPU picture path against the RGBA one, on 1080p pictures:
//   - player CPU time per shown picture with RGBMode off (the decoded YUV
//     planes handed to the view as they are) and on (RGBA conversion in the
//     player), measured with a view that draws nothing (goal: ratio <= 0.7),
//   - GUI-thread CPU time per picture of TAVGLView (copy into the planes,
//     upload and draw; Mesa's software renderer) beside TAVView's (copy and
//     paint), with the whole process's CPU and the wall time beside it, since
//     the software renderer shades on threads of its own.
// Needs an X display with OpenGL for the second part:
//   xvfb-run -a -s "-screen 0 1280x1024x24" build/bench/gl_bench [FILE]
// (without FILE a 1080p clip is made).
#include <sys/resource.h>
#include <time.h>

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bench_util.h"
#include "play_cost.h"
#include "kivora/kivora.h"
#include "kivora/player/player.h"
#include "kivora/presentation/glview.h"
#include "kivora/presentation/view.h"
#include "support/event_pump.h"
#include "support/media_fixtures.h"

using namespace kivora;
using namespace kivora::testing;
using kivora::bench::Clock;
using kivora::bench::Ms;
using kivora::bench::PlayCost;
using kivora::bench::PlayToTheEnd;
using kivora::bench::CpuSeconds;

namespace {

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// CPU per picture of FFmpeg decoding the file's video alone, on one thread
// (the decoding work itself, without the threads' overhead the player's
// automatic thread count adds): the floor both paths share.
double DecodeOnlyMs(const std::string& file, int& frames) {
  frames = 0;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return NAN;
  AVInputContextPtr in(raw);
  if (avformat_find_stream_info(in.get(), nullptr) < 0) return NAN;
  const AVCodec* codec = nullptr;
  const int index = av_find_best_stream(in.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (index < 0) return NAN;
  AVCodecContextPtr dec(avcodec_alloc_context3(codec));
  avcodec_parameters_to_context(dec.get(), in->streams[index]->codecpar);
  dec->thread_count = 1;
  if (avcodec_open2(dec.get(), codec, nullptr) < 0) return NAN;
  AVPacketPtr pkt(av_packet_alloc());
  AVFramePtr frame(av_frame_alloc());
  const double c0 = CpuSeconds();
  auto receive = [&] {
    while (avcodec_receive_frame(dec.get(), frame.get()) >= 0) ++frames;
  };
  while (av_read_frame(in.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == index && avcodec_send_packet(dec.get(), pkt.get()) >= 0) receive();
    av_packet_unref(pkt.get());
  }
  avcodec_send_packet(dec.get(), nullptr);
  receive();
  return frames ? (CpuSeconds() - c0) * 1000.0 / frames : NAN;
}

const char* FormatName(int format) {
  const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
  return name ? name : "no picture";
}

std::vector<AVFramePtr> MakePictures(int w, int h, AVPixelFormat format, int count) {
  std::vector<AVFramePtr> frames;
  SwsContextPtr sws(sws_getContext(w, h, AV_PIX_FMT_RGBA, w, h, format, SWS_BILINEAR, nullptr, nullptr, nullptr));
  AVFramePtr rgba(av_frame_alloc());
  rgba->width = w;
  rgba->height = h;
  rgba->format = AV_PIX_FMT_RGBA;
  if (!sws || av_frame_get_buffer(rgba.get(), 0) < 0) return {};
  for (int i = 0; i < count; ++i) {
    DrawTestPicture(rgba->data[0], w, h, rgba->linesize[0], i);
    AVFramePtr f(av_frame_alloc());
    f->width = w;
    f->height = h;
    f->format = format;
    f->colorspace = AVCOL_SPC_BT709;
    f->color_range = AVCOL_RANGE_MPEG;
    if (av_frame_get_buffer(f.get(), 0) < 0) return {};
    if (format == AV_PIX_FMT_RGBA)
      av_frame_copy(f.get(), rgba.get());
    else
      sws_scale(sws.get(), rgba->data, rgba->linesize, 0, h, f->data, f->linesize);
    frames.push_back(std::move(f));
  }
  return frames;
}

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Counts the paint events a widget has received.
class PaintCounter : public QObject {
public:
  int paints = 0;

protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
};

struct ViewCost {
  double display_ms = NAN;  // DoVideoDisplay, GUI-thread CPU
  double paint_ms = NAN;    // update() until the widget has painted and the events are handled, GUI-thread CPU
  double total_ms = NAN;    // both, median of the sums
  double process_ms = NAN;  // CPU of the whole process per picture (the software renderer's threads too)
  double wall_ms = NAN;     // wall time per picture
  double copy_ms = NAN, draw_ms = NAN;  // the GL view's own LastCopyMs / LastDrawMs
  int missed = 0;           // pictures that were not painted within a second
};

// Shows each picture as a player does (DoVideoDisplay, then the paint the
// view asks for), letting the event loop run until the widget has painted.
template <class View>
ViewCost Measure(View& view, const std::vector<AVFramePtr>& frames, int rounds, int viewW, int viewH) {
  PaintCounter counter;
  view.installEventFilter(&counter);
  view.SetViewSize(1920, 1080);
  view.resize(viewW, viewH);
  view.show();
  PumpUntil([] { return false; }, 300);
  std::vector<double> display, paint, total, process, wall, copy, draw;
  ViewCost c;
  for (int i = 0; i < rounds + 5; ++i) {
    AVFrame* f = frames[static_cast<size_t>(i) % frames.size()].get();
    const int before = counter.paints;
    const auto w0 = Clock::now();
    const double p0 = CpuSeconds();
    const double t0 = ThreadCpuMs();
    view.DoVideoDisplay(f);
    const double t1 = ThreadCpuMs();
    view.update();
    const bool painted = PumpUntil([&] { return counter.paints > before; }, 1000);
    const double t2 = ThreadCpuMs();
    const double p1 = CpuSeconds();
    const auto w1 = Clock::now();
    if (i < 5) continue;  // warm-up: first allocations, shader builds
    if (!painted) ++c.missed;
    display.push_back(t1 - t0);
    paint.push_back(t2 - t1);
    total.push_back(t2 - t0);
    process.push_back((p1 - p0) * 1000.0);
    wall.push_back(Ms(w0, w1));
    if constexpr (std::is_same_v<View, TAVGLView>) {
      copy.push_back(view.LastCopyMs());
      draw.push_back(view.LastDrawMs());
    }
  }
  view.removeEventFilter(&counter);
  c.display_ms = Median(display);
  c.paint_ms = Median(paint);
  c.total_ms = Median(total);
  c.process_ms = Median(process);
  c.wall_ms = Median(wall);
  c.copy_ms = Median(copy);
  c.draw_ms = Median(draw);
  return c;
}

void Print(const char* name, const ViewCost& c) {
  std::printf("  %s: GUI thread %.2f ms per picture (display %.2f + paint %.2f), process CPU %.2f ms, wall %.2f ms",
              name, c.total_ms, c.display_ms, c.paint_ms, c.process_ms, c.wall_ms);
  if (std::isfinite(c.copy_ms)) std::printf("; its own figures: copy %.2f ms, upload and draw %.2f ms", c.copy_ms, c.draw_ms);
  if (c.missed) std::printf("; %d pictures not painted", c.missed);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  // The views need OpenGL: the X platform when there is a display (Xvfb
  // with Mesa's software renderer), else the offscreen one and no views.
  if (getenv("DISPLAY")) {
    setenv("QT_QPA_PLATFORM", "xcb", 0);
    setenv("LIBGL_ALWAYS_SOFTWARE", "1", 0);
  }
  EnsureApp();
  LoadLibs();
  TempDir dir;
  std::string file;
  if (argc > 1) {
    file = argv[1];
  } else {
    MediaSpec s;
    s.width = 1920;
    s.height = 1080;
    s.frames = 125;
    s.gop = 25;
    s.audio_codec = AV_CODEC_ID_NONE;  // the picture path alone
    std::printf("making a 5 s 1080p25 H.264 clip without sound...\n");
    file = MakeMedia(dir.Path("gl_bench1080.mp4"), s);
  }

  const PlayCost yuv = PlayToTheEnd(file, false);
  const PlayCost rgb = PlayToTheEnd(file, true);
  std::printf("player CPU per shown picture, RGBMode off (%s planes to the view): %.2f ms over %d pictures\n",
              FormatName(yuv.format), yuv.PerPictureMs(), yuv.shown);
  std::printf("player CPU per shown picture, RGBMode on (%s): %.2f ms over %d pictures\n", FormatName(rgb.format),
              rgb.PerPictureMs(), rgb.shown);
  int decoded = 0;
  const double decodeMs = DecodeOnlyMs(file, decoded);
  std::printf("FFmpeg decoding alone (one thread): %.2f ms per picture over %d pictures\n", decodeMs, decoded);
  const double ratio = yuv.PerPictureMs() / rgb.PerPictureMs();
  std::printf("  ratio off/on: %.2f (goal <= 0.70: %s)\n", ratio, std::isfinite(ratio) && ratio <= 0.7 ? "met" : "missed");

  if (QGuiApplication::platformName() == "offscreen") {
    std::printf("views: skipped, the offscreen platform has no OpenGL (run under xvfb-run)\n");
    return 0;
  }
  const std::vector<AVFramePtr> yuvFrames = MakePictures(1920, 1080, AV_PIX_FMT_YUV420P, 8);
  const std::vector<AVFramePtr> rgbaFrames = MakePictures(1920, 1080, AV_PIX_FMT_RGBA, 8);
  if (yuvFrames.empty() || rgbaFrames.empty()) {
    std::printf("cannot make the pictures\n");
    return 1;
  }
  for (const auto& [viewW, viewH] : {std::pair{1920, 1080}, std::pair{960, 540}}) {
    std::printf("1080p pictures in a %dx%d widget:\n", viewW, viewH);
    {
      TAVGLView view;
      const ViewCost c = Measure(view, yuvFrames, 60, viewW, viewH);
      if (!view.LastError().empty()) std::printf("  TAVGLView: %s\n", view.LastError().c_str());
      const char* renderer = nullptr;
      if (view.context()) {
        view.makeCurrent();
        renderer = reinterpret_cast<const char*>(view.context()->functions()->glGetString(GL_RENDERER));
      }
      const std::string name = std::string("TAVGLView YUV420P, planar (") + (renderer ? renderer : "?") + ")";
      Print(name.c_str(), c);
    }
    {
      TAVGLView view;
      view.SetPreferNV12(true);
      Print("TAVGLView YUV420P through NV12", Measure(view, yuvFrames, 60, viewW, viewH));
    }
    {
      TAVView view;
      Print("TAVView RGBA", Measure(view, rgbaFrames, 60, viewW, viewH));
    }
  }
  return 0;
}
