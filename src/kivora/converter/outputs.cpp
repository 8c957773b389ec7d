// Output files and streams: stream maps, automatic stream selection, the
// muxer context, the output streams with their encoders, and the output I/O.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <vector>

#include "kivora/converter/transcoder.h"
#include "kivora/platform/exception.h"
#include "kivora/platform/mainthread.h"
#include "kivora/platform/message.h"
#include "kivora/runtime/cmdutils.h"

namespace kivora {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

bool PlainPath(const std::string& name, std::string& path) {
  path = name;
  if (name.rfind("file:", 0) == 0) {
    path = name.substr(5);
    return true;
  }
  const size_t colon = name.find(':');
  const size_t slash = name.find('/');
  if (colon != std::string::npos && (slash == std::string::npos || colon < slash) && colon > 1)
    return false;  // a URL: "proto:..." (a single letter would be a drive)
  return true;
}

namespace {

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

void TAVTranscoder::opt_map() {
  stream_maps.clear();
  const TStringList& maps = Opt.StreamMaps();
  for (int line = 0; line < maps.Count(); ++line) {
    const std::string& arg = maps[line];
    // "[label]" takes a labelled output of a complex graph. The graphs are
    // parsed later, so the label is checked against them then.
    if (!arg.empty() && arg[0] == '[') {
      const size_t close = arg.find(']');
      if (close == std::string::npos || close == 1 || close + 1 != arg.size())
        Fail(Format("Invalid stream specifier: %s", arg.c_str()));
      stream_maps.push_back({-1, -1, -1, -1, line, arg.substr(1, close - 1)});
      continue;
    }
    const char* s = arg.c_str();
    char* end = nullptr;
    const long file_idx = std::strtol(s, &end, 0);
    if (end == s || file_idx < 0 || file_idx >= static_cast<long>(input_files.size()))
      Fail(Format("Invalid input file index:%d", static_cast<int>(file_idx)));
    if (*end == ':') ++end;
    const std::string spec = end;
    InputFile& f = *input_files[static_cast<size_t>(file_idx)];
    bool any = false;
    for (int i = 0; i < f.nb_streams; ++i) {
      const int r = spec.empty() ? 1 : check_stream_specifier(f.ctx.get(), f.ctx->streams[i], spec.c_str());
      if (r < 0) Fail(Format("Invalid stream specifier: %s", arg.c_str()));
      if (r > 0) {
        stream_maps.push_back({static_cast<int>(file_idx), i, static_cast<int>(file_idx), i, line, {}});
        any = true;
      }
    }
    if (!any) Fail(Format("Stream map '%s' matches no streams.", arg.c_str()));
  }
}

TOutputFilter* TAVTranscoder::find_labelled_output(const std::string& label, bool freeOnly) {
  for (auto& fg : filtergraphs)
    for (auto& of : fg->outputs)
      if (of->label == label && (!freeOnly || (!of->ost && of->out_tmp))) return of.get();
  return nullptr;
}

void TAVTranscoder::check_labelled_outputs() {
  // Every "[label]" map names an output of a complex graph ...
  for (const AVStreamMap& map : stream_maps)
    if (!map.label.empty() && !find_labelled_output(map.label, false))
      Fail(Format("Stream map '[%s]' matches no filter graph output.", map.label.c_str()));
  // ... and every labelled output is named by a map. Checked before any
  // output file is made, so such a mistake leaves no file behind.
  for (auto& fg : filtergraphs)
    for (auto& of : fg->outputs) {
      if (of->label.empty() || of->ost) continue;
      bool named = false;
      for (const AVStreamMap& map : stream_maps) named = named || map.label == of->label;
      if (!named) Fail(Format("Filter output %s is not connected to any output stream", of->label.c_str()));
    }
}

void TAVTranscoder::InitOutputParams() {
  const TAudioOptions& ao = Opt.AudioOptions();
  const TVideoOptions& vo = Opt.VideoOptions();
  // Each conversion starts from the options alone: 0 means "as the input".
  _AudioChannels = ao.AudioChannels();
  _AudioSampleRate = ao.AudioSampleRate();
  _AudioSampleFmt = ao.AudioSampleFmt() == sfAuto ? -1 : static_cast<int>(ao.AudioSampleFmt()) - 1;
  _FrameWidth = vo.FrameWidth();
  _FrameHeight = vo.FrameHeight();
  // Negative sizes still mean something to the scaler (keep the aspect), so
  // the conversion goes on; the user is told on the GUI thread.
  if (_FrameWidth < 0 || _FrameHeight < 0) {
    av_log(nullptr, AV_LOG_WARNING, "crop dimensions are outside the range of the original image.\n");
    MainThread::Queue([] { ShowMessage("crop dimensions are outside the range of the original image."); });
  }
}

namespace {

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// Encoder names near a mistyped one, nearest first, at most five.
std::string CloseEncoderNames(const std::string& name) {
  const std::string wanted = Lower(name);
  const size_t limit = std::max<size_t>(1, wanted.size() / 3);
  std::vector<std::pair<size_t, std::string>> near;
  void* it = nullptr;
  while (const AVCodec* c = av_codec_iterate(&it)) {
    if (!av_codec_is_encoder(c)) continue;
    const std::string candidate = c->name;
    const size_t d = EditDistance(wanted, Lower(candidate));
    const bool contains = wanted.size() >= 3 && Lower(candidate).find(wanted) != std::string::npos;
    if (d <= limit || contains) near.emplace_back(contains ? 0 : d, candidate);
  }
  std::sort(near.begin(), near.end());
  std::string out;
  for (size_t i = 0; i < near.size() && i < 5; ++i) out += (i ? ", " : "") + near[i].second;
  return out;
}

}  // namespace

// An encoder by its own name (libx264), or by a codec's name (h264), which
// takes that codec's default encoder, as the command line does.
const AVCodec* TAVTranscoder::FindEncoder(const std::string& name) {
  if (const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str())) return codec;
  if (const AVCodecDescriptor* desc = avcodec_descriptor_get_by_name(name.c_str())) {
    if (const AVCodec* codec = avcodec_find_encoder(desc->id)) {
      av_log(nullptr, AV_LOG_VERBOSE, "Matched encoder '%s' for codec '%s'.\n", codec->name, name.c_str());
      return codec;
    }
  }
  const std::string near = CloseEncoderNames(name);
  Fail("Unknown Codec Name " + name + (near.empty() ? "" : " (close: " + near + ")"));
}

void TAVTranscoder::choose_encoder(AVFormatContext* oc, OutputStream& ost, const std::string& name) {
  const AVMediaType type = ost.type;
  if (name.empty()) {
    const AVCodecID id = av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, type);
    ost.st->codecpar->codec_id = id;
    ost.enc = avcodec_find_encoder(id);
    if (!ost.enc && (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_SUBTITLE))
      Fail(Format("Encoder codec not found for output stream"));
  } else if (Lower(name) == "copy") {
    ost.stream_copy = true;
  } else {
    const AVCodec* codec = FindEncoder(name);
    if (codec->type != type) Fail("Invalid codec type");
    ost.enc = codec;
    ost.st->codecpar->codec_id = codec->id;
  }
}

OutputStream& TAVTranscoder::new_output_stream(AVFormatContext* oc, AVMediaType type, int source_index) {
  AVStream* st = avformat_new_stream(oc, nullptr);
  if (!st) Fail("Could not alloc stream.");
  auto ostp = std::make_unique<OutputStream>();
  OutputStream& ost = *ostp;
  ost.file_index = static_cast<int>(output_files.size()) - 1;
  ost.index = st->index;
  ost.st = st;
  ost.type = type;
  st->codecpar->codec_type = type;
  output_streams.push_back(std::move(ostp));

  std::string name;
  const TVideoOptions& vo = Opt.VideoOptions();
  const TAudioOptions& ao = Opt.AudioOptions();
  switch (type) {
    case AVMEDIA_TYPE_VIDEO:
      name = vo.VideoStreamCopy() ? "copy" : vo.VideoCodecName();
      ost.bsf_name = Opt.FilterOptions().VideoBitstreamFilters();
      break;
    case AVMEDIA_TYPE_AUDIO:
      name = ao.AudioStreamCopy() ? "copy" : ao.AudioCodecName();
      ost.bsf_name = Opt.FilterOptions().AudioBitstreamFilters();
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      name = Opt.SubtitleOptions().SubtitleCodecName();
      break;
    default:
      name = "copy";
      break;
  }
  choose_encoder(oc, ost, name);
  AVCodecContext* ec = avcodec_alloc_context3(ost.enc);
  if (!ec) Fail("Error allocating the encoding context.\\n");
  ost.enc_ctx.reset(ec);
  ec->codec_type = type;
  // Encoded pictures are counted where they are made (the frame rate
  // conversion); copied ones as packets when they are written.
  ost.max_frames = type == AVMEDIA_TYPE_VIDEO && ost.stream_copy ? vo.MaxFrames() : INT64_MAX;
  if (ost.enc) ost.encoder_opts.reset(filter_codec_opts(codec_opts.get(), ost.enc->id, 1));

  if (!Trim(ost.bsf_name).empty()) {
    if (!av_bsf_get_by_name(Trim(ost.bsf_name).c_str())) Fail("Unknown bitstream filter");
  }
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) ec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  ost.sws_flags = Opt.SwsFlags();
  ost.source_index = source_index;
  if (source_index >= 0) {
    InputStream& ist = *input_streams[static_cast<size_t>(source_index)];
    ost.sync_ist = &ist;
    ist.discard = false;
    ist.st->discard = AVDISCARD_NONE;
  }
  ost.last_mux_dts = AV_NOPTS_VALUE;
  return ost;
}

OutputStream& TAVTranscoder::new_video_stream(AVFormatContext* oc, int source_index) {
  OutputStream& ost = new_output_stream(oc, AVMEDIA_TYPE_VIDEO, source_index);
  const TVideoOptions& vo = Opt.VideoOptions();
  if (!ost.stream_copy) {
    AVCodecContext* ec = ost.enc_ctx.get();
    if (vo.FrameAspectRatio() > 0 && std::isfinite(vo.FrameAspectRatio()))
      ost.frame_aspect_ratio = av_d2q(vo.FrameAspectRatio(), 255);
    if (vo.FrameRate().num() > 0 && vo.FrameRate().den() > 0)
      ost.frame_rate = AVRational{vo.FrameRate().num(), vo.FrameRate().den()};
    ec->width = _FrameWidth;
    ec->height = _FrameHeight;
    ec->pix_fmt = static_cast<AVPixelFormat>(vo.FramePixFormat());
    ost.st->sample_aspect_ratio = ec->sample_aspect_ratio;
    if (vo.IntraOnly()) ec->gop_size = 0;
    if (vo.VideoQscale() != 0) {
      ec->flags |= AV_CODEC_FLAG_QSCALE;
      ec->global_quality = static_cast<int>(vo.VideoQscale() * FF_QP2LAMBDA);
    }
    if (vo.Pass() & 1) {
      ec->flags |= AV_CODEC_FLAG_PASS1;
      av_dict_set(&ost.encoder_opts, "flags", "+pass1", AV_DICT_APPEND);
    }
    if (vo.Pass() & 2) {
      ec->flags |= AV_CODEC_FLAG_PASS2;
      av_dict_set(&ost.encoder_opts, "flags", "+pass2", AV_DICT_APPEND);
    }
    // The video rate reaches the video encoder only.
    if (vo.Bitrate() > 0) ec->bit_rate = vo.Bitrate();
    ost.avfilter = Opt.FilterOptions().VideoFilters().empty() ? "null" : Opt.FilterOptions().VideoFilters();
  }
  return ost;
}

OutputStream& TAVTranscoder::new_audio_stream(AVFormatContext* oc, int source_index) {
  OutputStream& ost = new_output_stream(oc, AVMEDIA_TYPE_AUDIO, source_index);
  const TAudioOptions& ao = Opt.AudioOptions();
  if (ao.AudioCodecTag()) ost.st->codecpar->codec_tag = static_cast<unsigned>(ao.AudioCodecTag());
  if (!ost.stream_copy) {
    AVCodecContext* ec = ost.enc_ctx.get();
    if (ao.AudioCodecTag()) ec->codec_tag = static_cast<unsigned>(ao.AudioCodecTag());
    if (ao.AudioQScale() > QSCALE_NONE) {
      ec->flags |= AV_CODEC_FLAG_QSCALE;
      ec->global_quality = static_cast<int>(ao.AudioQScale() * FF_QP2LAMBDA);
    }
    if (_AudioChannels > 0) {
      av_channel_layout_uninit(&ec->ch_layout);
      av_channel_layout_default(&ec->ch_layout, _AudioChannels);
    }
    if (_AudioSampleFmt != -1) ec->sample_fmt = static_cast<AVSampleFormat>(_AudioSampleFmt);
    if (_AudioSampleRate > 0) ec->sample_rate = _AudioSampleRate;
    // Video rate control given as free options ("b", "maxrate", "minrate",
    // "bufsize") is the video encoder's; the audio encoder has its own rate.
    for (const char* key : {"b", "maxrate", "minrate", "bufsize"})
      av_dict_set(&ost.encoder_opts, key, nullptr, 0);
    if (ao.Bitrate() > 0) ec->bit_rate = ao.Bitrate();
    ost.avfilter = Opt.FilterOptions().AudioFilters().empty() ? "anull" : Opt.FilterOptions().AudioFilters();
  }
  return ost;
}

OutputStream& TAVTranscoder::new_stream_of_type(AVFormatContext* oc, AVMediaType type, int source_index) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO: return new_video_stream(oc, source_index);
    case AVMEDIA_TYPE_AUDIO: return new_audio_stream(oc, source_index);
    case AVMEDIA_TYPE_SUBTITLE: return new_output_stream(oc, AVMEDIA_TYPE_SUBTITLE, source_index);
    case AVMEDIA_TYPE_DATA: {
      OutputStream& ost = new_output_stream(oc, AVMEDIA_TYPE_DATA, source_index);
      ost.stream_copy = true;
      return ost;
    }
    case AVMEDIA_TYPE_ATTACHMENT: {
      OutputStream& ost = new_output_stream(oc, AVMEDIA_TYPE_ATTACHMENT, source_index);
      ost.stream_copy = true;
      ost.finished = ENCODER_FINISHED | MUXER_FINISHED;
      return ost;
    }
    default: {
      OutputStream& ost = new_output_stream(oc, AVMEDIA_TYPE_UNKNOWN, source_index);
      if (!ost.stream_copy) Fail("Unknown stream encoding not supported yet (only streamcopy)");
      return ost;
    }
  }
}

void TAVTranscoder::open_output_file(int index) {
  const std::string& filename = C.OutputFiles()[index];
  bool video_disable = Opt.VideoOptions().VideoDisable();
  bool audio_disable = Opt.AudioOptions().AudioDisable();
  bool subtitle_disable = Opt.SubtitleOptions().SubtitleDisable();
  const bool data_disable = Opt.DataOptions().DataDisable();
  InitOutputParams();

  if (Trim(filename).empty()) Fail(Format("Could not write to file %s", filename.c_str()));
  // Never truncate an input by writing over it.
  std::string outPath;
  const bool plain = PlainPath(filename, outPath);
  if (plain) {
    for (int i = 0; i < C.InputFiles().Count(); ++i) {
      std::string inPath;
      if (PlainPath(C.InputFiles()[i], inPath) && SameFile(inPath, outPath))
        Fail(Format("Output file %s is the same file as input %s", filename.c_str(), C.InputFiles()[i].c_str()));
    }
  }

  auto of = std::make_unique<OutputFile>();
  of->ost_index = static_cast<int>(output_streams.size());
  of->recording_time = Opt.RecordingTime() == 0 ? INT64_MAX : Opt.RecordingTime();
  of->start_time = 0;
  of->limit_filesize = Opt.LimitFileSize();
  av_dict_copy(&of->opts, format_opts.get(), 0);
  const std::string fmt = Trim(Opt.OutputFormat());
  AVFormatContext* oc = nullptr;
  avformat_alloc_output_context2(&oc, nullptr, fmt.empty() ? nullptr : fmt.c_str(), filename.c_str());
  if (!oc) {
    if (!fmt.empty()) Fail(Format("Unknown Output format %s", fmt.c_str()));
    Fail(Format("Unable to find a suitable output format for %s", filename.c_str()));
  }
  of->ctx = oc;
  of->url = filename;
  if (plain) of->path = outPath;
  oc->interrupt_callback = FOutputInterrupt;
  output_files.push_back(std::move(of));

  // Unlabelled outputs of complex graphs that no earlier file took.
  for (auto& fg : filtergraphs) {
    for (auto& ofilter : fg->outputs) {
      if (ofilter->ost || !ofilter->out_tmp || !ofilter->label.empty()) continue;
      init_output_filter(*ofilter, oc);
      switch (ofilter->type) {
        case AVMEDIA_TYPE_VIDEO: video_disable = true; break;
        case AVMEDIA_TYPE_AUDIO: audio_disable = true; break;
        case AVMEDIA_TYPE_SUBTITLE: subtitle_disable = true; break;
        default: break;
      }
    }
  }

  if (!Opt.StreamMaps().Empty()) {
    for (const AVStreamMap& map : stream_maps) {
      if (!map.label.empty()) {
        // The map list is shared by every output file, and a graph output
        // feeds one stream: the first file that can take the labelled output
        // does. A later file, or one whose streams of that type come from an
        // unlabelled graph output or are switched off, passes it by.
        TOutputFilter* ofilter = find_labelled_output(map.label, true);
        if (!ofilter) continue;
        if ((ofilter->type == AVMEDIA_TYPE_VIDEO && video_disable) ||
            (ofilter->type == AVMEDIA_TYPE_AUDIO && audio_disable))
          continue;
        init_output_filter(*ofilter, oc);
        continue;
      }
      const int src = input_files[static_cast<size_t>(map.file_index)]->ist_index + map.stream_index;
      InputStream& ist = *input_streams[static_cast<size_t>(src)];
      const AVMediaType t = ist.st->codecpar->codec_type;
      if ((t == AVMEDIA_TYPE_VIDEO && video_disable) || (t == AVMEDIA_TYPE_AUDIO && audio_disable) ||
          (t == AVMEDIA_TYPE_SUBTITLE && subtitle_disable) || (t == AVMEDIA_TYPE_DATA && data_disable))
        continue;
      OutputStream& ost = new_stream_of_type(oc, t, src);
      const int sync = input_files[static_cast<size_t>(map.sync_file_index)]->ist_index + map.sync_stream_index;
      ost.sync_ist = input_streams[static_cast<size_t>(sync)].get();
    }
  } else {
    if (!video_disable &&
        av_guess_codec(oc->oformat, nullptr, filename.c_str(), nullptr, AVMEDIA_TYPE_VIDEO) != AV_CODEC_ID_NONE) {
      // A muxer whose video codec is only for covers (mp3's PNG) takes an
      // attached picture and nothing else; any other muxer takes the video,
      // and an attached picture (cover art) is not the video.
      const bool covers_only =
          avformat_query_codec(oc->oformat, oc->oformat->video_codec, 0) == static_cast<int>(MKTAG('A', 'P', 'I', 'C'));
      int64_t area = 0;
      int idx = -1;
      for (size_t i = 0; i < input_streams.size(); ++i) {
        const AVCodecParameters* par = input_streams[i]->st->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        const bool cover = (input_streams[i]->st->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
        if (cover != covers_only) continue;
        const int64_t a = static_cast<int64_t>(par->width) * par->height;
        if (a > area) {
          area = a;
          idx = static_cast<int>(i);
        }
      }
      if (idx >= 0) new_video_stream(oc, idx);
    }
    if (!audio_disable &&
        av_guess_codec(oc->oformat, nullptr, filename.c_str(), nullptr, AVMEDIA_TYPE_AUDIO) != AV_CODEC_ID_NONE) {
      int channels = 0;
      int idx = -1;
      for (size_t i = 0; i < input_streams.size(); ++i) {
        const AVCodecParameters* par = input_streams[i]->st->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        if (par->ch_layout.nb_channels > channels) {
          channels = par->ch_layout.nb_channels;
          idx = static_cast<int>(i);
        }
      }
      if (idx >= 0) new_audio_stream(oc, idx);
    }
    const std::string& subName = Opt.SubtitleOptions().SubtitleCodecName();
    const AVCodecID defSub = av_guess_codec(oc->oformat, nullptr, filename.c_str(), nullptr, AVMEDIA_TYPE_SUBTITLE);
    if (!subtitle_disable && (avcodec_find_encoder(defSub) || !subName.empty())) {
      for (size_t i = 0; i < input_streams.size(); ++i) {
        const AVCodecParameters* par = input_streams[i]->st->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_SUBTITLE) continue;
        const AVCodecDescriptor* in_desc = avcodec_descriptor_get(par->codec_id);
        const AVCodecDescriptor* out_desc = avcodec_descriptor_get(defSub);
        const int in_props = in_desc ? in_desc->props & (AV_CODEC_PROP_TEXT_SUB | AV_CODEC_PROP_BITMAP_SUB) : 0;
        const int out_props = out_desc ? out_desc->props & (AV_CODEC_PROP_TEXT_SUB | AV_CODEC_PROP_BITMAP_SUB) : 0;
        if (!subName.empty() || (in_props & out_props) || (in_desc && out_desc && (!in_props || !out_props))) {
          new_output_stream(oc, AVMEDIA_TYPE_SUBTITLE, static_cast<int>(i));
          break;
        }
      }
    }
  }

  for (int i = 0; i < Opt.MetaData().Count(); ++i) {
    const std::string& line = Opt.MetaData()[i];
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    av_dict_set(&oc->metadata, line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 0);
  }

  if ((oc->oformat->flags & AVFMT_NEEDNUMBER) && !av_filename_number_test(oc->url))
    Fail("unexpected error");

  OutputFile& of_ref = *output_files.back();
  if (Opt.MuxerOptions().MuxPreload() != 0 && std::isfinite(Opt.MuxerOptions().MuxPreload()))
    av_dict_set_int(&of_ref.opts, "preload", std::lround(Opt.MuxerOptions().MuxPreload() * AV_TIME_BASE), 0);
  oc->max_delay = 700000;

  // Every stream of this file must agree with the maps, before any header.
  if (!Opt.StreamMaps().Empty()) {
    int mapped = 0;
    for (int i = of_ref.ost_index; i < static_cast<int>(output_streams.size()); ++i)
      if (output_streams[static_cast<size_t>(i)]->source_index >= 0 && !output_streams[static_cast<size_t>(i)]->filter)
        ++mapped;
    // Graph outputs taken by "[label]" maps are not counted: each such line
    // gives at most one stream, in the first file that takes it.
    int input_maps = 0;
    for (const AVStreamMap& map : stream_maps) input_maps += map.label.empty() ? 1 : 0;
    // One map line may give several streams (every stream it matches).
    if (input_maps != mapped)
      Fail("Number of stream maps must match number of output streams");
  }
}

}  // namespace kivora
