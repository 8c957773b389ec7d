// `kivora motion`: the preview engine decodes, the motion detector watches.
#include "motion_cmd.h"

#include <QJsonArray>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "commands.h"
#include "json_output.h"
#include "kivora/preview/motiondetect.h"
#include "kivora/preview/preview_decoder.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/runtime/png_file.h"

namespace kivora::app {

namespace {

// An 8-bit YUV picture whose luma is a plane of its own.
bool LumaPlaneOf(const AVFrame* f) {
  if (!f || f->width < 2 || f->height < 2 || !f->data[0] || f->linesize[0] < f->width) return false;
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
  return d && !(d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL)) &&
         d->nb_components >= 3 && d->comp[0].plane == 0 && d->comp[0].step == 1 && d->comp[0].depth == 8 &&
         d->comp[0].offset == 0 && d->comp[0].shift == 0;
}

bool FullRange(const AVFrame* f) {
  if (f->color_range == AVCOL_RANGE_JPEG) return true;
  switch (f->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
      return true;
    default:
      return false;
  }
}

}  // namespace

MotionReport RunMotion(const MotionOptions& options) {
  TPreviewDecoder decoder;
  if (!decoder.Open(options.file)) throw std::runtime_error(decoder.LastError());
  if (!options.maskDir.empty()) std::filesystem::create_directories(options.maskDir);

  MotionReport report;
  TAVMotionDetector detector;
  detector.setTolerance(options.tolerance);
  detector.setSensivity(options.sensivity);
  detector.setDetectionSecs(options.hold);
  detector.setShowMask(options.maskDir.empty() ? smNone : smMotion);
  double now = 0;
  TBitmap picture;
  detector.onMotionBegin = [&](TComponent*) {
    MotionEvent e{true, now, {}};
    if (!options.maskDir.empty()) {
      TBitmap mask;
      e.mask = (std::filesystem::path(options.maskDir) /
                ("motion-" + std::to_string(report.events.size() / 2 + 1) + ".png"))
                   .string();
      std::string why;
      if (!detector.getImage(mask, true) || !SavePngFile(mask, e.mask, why))
        throw std::runtime_error("cannot write '" + e.mask + "'");
    }
    report.events.push_back(std::move(e));
  };
  detector.onMotionEnd = [&](TComponent*) { report.events.push_back({false, now, {}}); };

  bool first = true;
  while (decoder.DecodeNext()) {
    // Without masks to write, the detector reads the decoder's luma plane
    // as it is; the RGBA conversion is only for pictures someone will see.
    const AVFrame* f = decoder.Frame();
    const bool luma = options.maskDir.empty() && LumaPlaneOf(f);
    if (!luma && !decoder.ToBitmap(picture, SWS_BILINEAR)) continue;
    const int w = luma ? f->width : picture.Width();
    const int h = luma ? f->height : picture.Height();
    ++report.frames;
    const int64_t t = decoder.PictureTime();
    if (t != AV_NOPTS_VALUE) now = t / 1e6;
    // Pictures without a time count as real time.
    const int64_t mediaTime = t != AV_NOPTS_VALUE ? t : INT64_MIN;
    const bool fullRange = luma && FullRange(f);
    // A picture of a new size has nothing to be compared with: it becomes
    // the new reference, and motion in progress ends with the old size (the
    // detector itself resets without an end).
    if (first || w != detector.width() || h != detector.height()) {
      if (detector.hasMotion()) report.events.push_back({false, now, {}});
      if (luma)
        detector.initializeLuma(f->data[0], w, h, f->linesize[0], fullRange, mediaTime);
      else
        detector.initialize(picture, mediaTime);
      first = false;
    } else if (luma) {
      detector.feedLuma(f->data[0], w, h, f->linesize[0], fullRange, mediaTime);
    } else {
      detector.feedFrame(picture, mediaTime);
    }
  }
  return report;
}

void PrintMotionText(std::ostream& out, const MotionReport& report) {
  out << std::fixed << std::setprecision(3);
  for (const MotionEvent& e : report.events) {
    out << (e.begin ? "begin " : "end   ") << e.time << " s";
    if (!e.mask.empty()) out << " -> " << e.mask;
    out << "\n";
  }
  if (report.events.empty()) out << "no motion";
  else out << report.events.size() / 2 + report.events.size() % 2 << " motion(s)";
  out << " in " << report.frames << " pictures\n";
}

void PrintMotionJson(std::ostream& out, const MotionReport& report) {
  QJsonArray list;
  for (const MotionEvent& e : report.events) {
    QJsonObject o;
    o.insert("event", e.begin ? "begin" : "end");
    o.insert("time", JsonNumber(e.time));
    if (!e.mask.empty()) o.insert("mask", JsonString(e.mask));
    list.append(o);
  }
  out << QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString() << "\n";
}

void AddMotionCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand("motion", "list where motion begins and ends in a file");
  auto opt = std::make_shared<MotionOptions>();
  cmd->add_option("FILE", opt->file, "the media file (or URL) to read")->required();
  cmd->add_flag("--json", opt->json, "a JSON list on stdout instead of text");
  cmd->add_option("--mask", opt->maskDir, "write the motion mask of each begin as a PNG into DIR")
      ->type_name("DIR");
  cmd->add_option("--tolerance", opt->tolerance, "moving pixels at which motion begins (10 or more)")
      ->capture_default_str();
  cmd->add_option("--sensitivity", opt->sensivity, "change of a byte at which a pixel moves (1 to 255)")
      ->capture_default_str();
  cmd->add_option("--hold", opt->hold, "seconds motion lasts at least (1 to 5)")->capture_default_str();
  SetCommandRun(*cmd, [opt] {
    const MotionReport report = RunMotion(*opt);
    if (opt->json) PrintMotionJson(std::cout, report);
    else PrintMotionText(std::cout, report);
    return 0;
  });
}

}  // namespace kivora::app
