// `kivora preview`: the preview engine without a window.
#include "preview_cmd.h"

#include <QJsonArray>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "commands.h"
#include "crypt_cmd.h"
#include "json_output.h"
#include "kivora/preview/preview_decoder.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/runtime/png_file.h"

namespace kivora::app {

namespace {

// A file name is at most 255 bytes; a wider number cannot be in one.
constexpr size_t MAX_NUMBER_WIDTH = 255;

// The largest time --at takes: its microseconds must fit the decoder's
// 64-bit times.
constexpr double MAX_AT_SECONDS = 9223372036854.0;

// Where the pattern's "%d" or "%0Nd" is: start and length; npos when none.
std::pair<size_t, size_t> NumberField(const std::string& pattern) {
  for (size_t i = pattern.find('%'); i != std::string::npos; i = pattern.find('%', i + 1)) {
    size_t j = i + 1;
    while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j]))) ++j;
    if (j < pattern.size() && pattern[j] == 'd' && (j == i + 1 || pattern[i + 1] == '0'))
      return {i, j + 1 - i};
  }
  return {std::string::npos, 0};
}

// The digits the number is padded to; SIZE_MAX when they are too many to be
// part of a file name.
size_t NumberWidth(const std::string& pattern, size_t pos, size_t len) {
  if (len <= 2) return 0;
  size_t width = 0;
  const char* first = pattern.data() + pos + 1;
  const char* last = pattern.data() + pos + len - 1;
  const auto [p, ec] = std::from_chars(first, last, width);
  return ec == std::errc() && p == last && width <= MAX_NUMBER_WIDTH ? width : SIZE_MAX;
}

}  // namespace

std::string PreviewFileName(const std::string& pattern, int n) {
  const auto [pos, len] = NumberField(pattern);
  if (pos == std::string::npos) return pattern;
  const size_t width = NumberWidth(pattern, pos, len);
  if (width == SIZE_MAX) throw std::invalid_argument("the number in '" + pattern + "' is padded to too many digits");
  std::string number = std::to_string(n);
  if (number.size() < width) number.insert(0, width - number.size(), '0');
  return pattern.substr(0, pos) + number + pattern.substr(pos + len);
}

namespace {

// Decodes the shots from `first` to `last` (their requested times are set) in
// order with one decoder, writing the PNGs as it goes.
void DecodeShots(TPreviewDecoder& decoder, const PreviewOptions& options, std::vector<PreviewShot>& shots,
                 size_t first, size_t last) {
  TBitmap picture;
  for (size_t i = first; i < last; ++i) {
    PreviewShot& shot = shots[i];
    const double at = shot.requested;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = decoder.DecodeAt(std::llround(at * 1e6), options.accurate) && decoder.ToBitmap(picture);
    shot.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
      shot.error = decoder.LastError();
      continue;
    }
    shot.pastEnd = decoder.PastEnd();
    shot.shown = decoder.PictureTime() != AV_NOPTS_VALUE ? decoder.PictureTime() / 1e6 : at;
    shot.width = picture.Width();
    shot.height = picture.Height();
    if (options.out.empty()) continue;
    shot.png = PreviewFileName(options.out, static_cast<int>(i + 1));
    std::string why;
    if (!SavePngFile(picture, shot.png, why)) {
      shot.error = why;
      shot.png.clear();
    }
  }
}

}  // namespace

std::vector<PreviewShot> RunPreview(const PreviewOptions& options) {
  // The decrypting stream outlives the decoder that reads it.
  EncryptedInputs encrypted(options.key_file);
  std::string file = options.file;
  encrypted.Resolve(file);
  // A pattern with too wide a number is refused before anything is decoded.
  if (!options.out.empty()) PreviewFileName(options.out, 1);
  std::vector<PreviewShot> shots(options.at.size());
  for (size_t i = 0; i < shots.size(); ++i) {
    shots[i].requested = options.at[i];
    shots[i].shown = NAN;
  }
  // Several times in a plain file are shared out between decoders that work
  // side by side, one per core, each on a run of the times in the order given
  // (so that times close together still decode on from each other). Separate
  // decoders on separate stretches of the file keep every core busy, where a
  // single decoder's own threads wait for each other on every picture.
  // Streams, pipes and decrypted inputs can be read only once: one decoder.
  std::error_code ec;
  const bool plainFile = options.key_file.empty() && std::filesystem::is_regular_file(file, ec);
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t workers = plainFile ? std::min(cores, shots.size()) : 1;
  TPreviewDecoder decoder;
  if (workers > 1) decoder.SetThreadCount(static_cast<int>(std::max<size_t>(1, cores / workers)));
  if (!decoder.Open(file)) throw std::runtime_error(decoder.LastError());
  if (workers <= 1) {
    DecodeShots(decoder, options, shots, 0, shots.size());
    return shots;
  }
  const size_t share = (shots.size() + workers - 1) / workers;
  std::vector<std::thread> threads;
  std::vector<std::exception_ptr> failures(workers);
  for (size_t w = 1; w < workers && w * share < shots.size(); ++w) {
    threads.emplace_back([&, w] {
      try {
        const size_t first = w * share, last = std::min(shots.size(), first + share);
        TPreviewDecoder own;
        own.SetThreadCount(decoder.ThreadCount());
        if (!own.Open(file)) {
          for (size_t i = first; i < last; ++i) shots[i].error = own.LastError();
          return;
        }
        DecodeShots(own, options, shots, first, last);
      } catch (...) {
        failures[w] = std::current_exception();
      }
    });
  }
  try {
    DecodeShots(decoder, options, shots, 0, std::min(share, shots.size()));
  } catch (...) {
    failures[0] = std::current_exception();
  }
  for (std::thread& t : threads) t.join();
  for (const std::exception_ptr& e : failures)
    if (e) std::rethrow_exception(e);
  return shots;
}

void PrintPreviewText(std::ostream& out, const std::vector<PreviewShot>& shots) {
  out << std::fixed << std::setprecision(3);
  for (size_t i = 0; i < shots.size(); ++i) {
    const PreviewShot& s = shots[i];
    out << "picture " << i + 1 << ": at " << s.requested << " s ";
    if (s.pastEnd) out << "(past the end) ";
    if (std::isnan(s.shown)) {
      out << "nothing shown (" << s.error << ")\n";
      continue;
    }
    out << "shows " << s.shown << " s, " << s.width << "x" << s.height << ", " << std::setprecision(1)
        << s.ms << " ms" << std::setprecision(3);
    if (!s.png.empty()) out << " -> " << s.png;
    if (!s.error.empty()) out << " (" << s.error << ")";
    out << "\n";
  }
}

void PrintPreviewJson(std::ostream& out, const std::vector<PreviewShot>& shots) {
  QJsonArray list;
  for (const PreviewShot& s : shots) {
    QJsonObject o;
    o.insert("at", JsonNumber(s.requested));
    o.insert("time", JsonNumber(s.shown));
    o.insert("ms", JsonNumber(s.ms));
    o.insert("past_end", s.pastEnd);
    if (!s.png.empty()) o.insert("file", JsonString(s.png));
    if (!s.error.empty()) o.insert("error", JsonString(s.error));
    list.append(o);
  }
  out << QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString() << "\n";
}

void AddPreviewCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand("preview", "write the pictures of a file at chosen times");
  auto opt = std::make_shared<PreviewOptions>();
  cmd->add_option("FILE", opt->file, "the media file (or URL) to read")->required();
  cmd->add_option("--at", opt->at, "a time in seconds from the start; repeat for more pictures")
      ->required()
      ->type_name("T");
  cmd->add_flag("--accurate", opt->accurate, "the picture on screen at T, not the key frame's");
  cmd->add_option("--out", opt->out, "write PNGs; %d in the name becomes the picture's place (1, 2...)")
      ->type_name("PATTERN.png");
  cmd->add_flag("--json", opt->json, "a JSON list on stdout instead of text");
  cmd->add_option("--key-file", opt->key_file, "decrypt the input with the 16-byte key text in F (- reads it from standard input)")->type_name("F");
  SetCommandRun(*cmd, [opt] {
    for (double t : opt->at) {
      if (!(t >= 0) || !std::isfinite(t)) throw UsageError("--at takes a time of 0 seconds or more");
      // Past this the time in microseconds no longer fits: it would wrap
      // round to some other time.
      if (t > MAX_AT_SECONDS) throw UsageError("--at takes a time of at most 9223372036854 seconds");
    }
    const auto [pos, len] = NumberField(opt->out);
    if (opt->at.size() > 1 && !opt->out.empty() && pos == std::string::npos)
      throw UsageError("--out needs %d in the name for more than one picture");
    if (pos != std::string::npos && NumberWidth(opt->out, pos, len) == SIZE_MAX)
      throw UsageError("--out pads the number to at most 255 digits");
    const std::vector<PreviewShot> shots = RunPreview(*opt);
    if (opt->json) PrintPreviewJson(std::cout, shots);
    else PrintPreviewText(std::cout, shots);
    for (const PreviewShot& s : shots)
      if (!s.error.empty()) {
        std::cerr << "kivora: preview: at " << s.requested << " s: " << s.error << "\n";
        return 1;
      }
    return 0;
  });
}

}  // namespace kivora::app
