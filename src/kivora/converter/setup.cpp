// The set-up between opening the files and the first packet: encoder
// parameters from the filter graphs (or the input, for stream copy), the
// two-pass statistics files, the OnVideoBuffer exchange, opening the encoders
// and decoders, and writing the headers.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "kivora/converter/transcoder.h"
#include "kivora/platform/exception.h"
#include "kivora/runtime/clocale.h"

namespace kivora {

namespace {

// The prefix "<folder>/<stem>-2pass" for a name that is, or will become, a
// regular file; false for URLs, standard output, devices (/dev/null), pipes.
bool FilePrefix(const std::string& name, std::string& prefix) {
  std::string path;
  if (!PlainPath(name, path) || path.empty() || path == "-" || path.rfind("/dev/", 0) == 0) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return false;
  const std::filesystem::path p(path);
  prefix = (p.parent_path() / p.stem()).string() + "-2pass";
  return true;
}

}  // namespace

std::string TAVTranscoder::PassLogName(const OutputStream& ost, bool reading) const {
  // The prefixes the log may have, the one it is written under first: the
  // application's, else the output file's, else the input file's (a first
  // pass usually writes to /dev/null), else "ffmpeg2pass" here. A second pass
  // reads the first of them that has a log, so it finds the log of a first
  // pass that wrote to /dev/null from the same input.
  std::vector<std::string> prefixes;
  std::string prefix;
  if (!C.PassLogFile().empty()) {
    prefixes.push_back(C.PassLogFile());
  } else {
    if (C.OutputFiles().Count() > 0 && FilePrefix(C.OutputFiles()[0], prefix)) prefixes.push_back(prefix);
    if (C.InputFiles().Count() > 0 && FilePrefix(C.InputFiles()[0], prefix)) prefixes.push_back(prefix);
    prefixes.push_back("ffmpeg2pass");
  }
  int index = 0;
  for (size_t i = 0; i < output_streams.size(); ++i)
    if (output_streams[i].get() == &ost) index = static_cast<int>(i);
  auto name = [&](const std::string& p) { return Format("%s-%d.log", p.c_str(), index); };
  if (reading) {
    for (const std::string& p : prefixes) {
      std::error_code ec;
      if (std::filesystem::is_regular_file(name(p), ec)) return name(p);
    }
  }
  return name(prefixes.front());
}

void TAVTranscoder::init_two_pass(OutputStream& ost) {
  AVCodecContext* ec = ost.enc_ctx.get();
  if (!(ec->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) return;
  const std::string logname = PassLogName(ost, (ec->flags & AV_CODEC_FLAG_PASS2) != 0);
  if (ost.enc && strcmp(ost.enc->name, "libx264") == 0) {
    av_dict_set(&ost.encoder_opts, "stats", logname.c_str(), AV_DICT_DONT_OVERWRITE);
    return;
  }
  if (ec->flags & AV_CODEC_FLAG_PASS2) {
    std::ifstream in(logname, std::ios::binary);
    if (!in) Fail(Format("Cannot open file %s", logname.c_str()));
    std::ostringstream s;
    s << in.rdbuf();
    const std::string text = s.str();
    char* buf = static_cast<char*>(av_malloc(text.size() + 1));
    if (!buf) Fail("Could not allocate log buffer");
    memcpy(buf, text.data(), text.size());
    buf[text.size()] = 0;
    ec->stats_in = buf;
  }
  if (ec->flags & AV_CODEC_FLAG_PASS1) {
    ost.logfile = fopen(logname.c_str(), "wb");
    if (!ost.logfile) Fail(Format("Cannot open file %s", logname.c_str()));
  }
}

void TAVTranscoder::init_video_buffer_exchange(OutputStream& ost) {
  AVCodecContext* ec = ost.enc_ctx.get();
  const int w = ec->width, h = ec->height;
  if (w <= 0 || h <= 0 || ec->pix_fmt == AV_PIX_FMT_NONE) return;
  ost.sws_ctx.reset(sws_getContext(w, h, ec->pix_fmt, w, h, AV_PIX_FMT_RGBA, SWS_BICUBIC, nullptr, nullptr, nullptr));
  ost.sws_ctx_chg.reset(sws_getContext(w, h, AV_PIX_FMT_RGBA, w, h, ec->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!ost.sws_ctx || !ost.sws_ctx_chg) {
    ost.sws_ctx.reset();
    ost.sws_ctx_chg.reset();
    return;
  }
  ost.frame_rgb.reset(av_frame_alloc());
  if (!ost.frame_rgb) Fail("cannot allocate memory for frame");
  ost.frame_rgb->format = AV_PIX_FMT_RGBA;
  ost.frame_rgb->width = w;
  ost.frame_rgb->height = h;
  // Rows of exactly width * 4 bytes: the bitmap handed to the application
  // has no padding between rows.
  if (av_frame_get_buffer(ost.frame_rgb.get(), 1) < 0) Fail("cannot allocate memory for frame");
  ost.bitmap = std::make_unique<TAVBitmap>(ost.frame_rgb->data[0], w, h);
}

void TAVTranscoder::init_bitstream_filter(OutputStream& ost) {
  const std::string name = Trim(ost.bsf_name);
  if (name.empty()) return;
  const AVBitStreamFilter* f = av_bsf_get_by_name(name.c_str());
  if (!f) Fail("Unknown bitstream filter");
  AVBSFContext* ctx = nullptr;
  if (av_bsf_alloc(f, &ctx) < 0) Fail("error create bitstreamfilter");
  ost.bsf.reset(ctx);
  if (avcodec_parameters_copy(ctx->par_in, ost.st->codecpar) < 0) Fail("error create bitstreamfilter");
  ctx->time_base_in = ost.st->time_base;
  if (av_bsf_init(ctx) < 0) Fail("error create bitstreamfilter");
  avcodec_parameters_copy(ost.st->codecpar, ctx->par_out);
}

void TAVTranscoder::init_stream_copy(OutputStream& ost, InputStream* ist) {
  if (!ist) Fail("Stream copy requested for output stream");
  AVFormatContext* oc = output_files[static_cast<size_t>(ost.file_index)]->ctx;
  AVCodecParameters* par = ost.st->codecpar;
  const AVCodecParameters* src = ist->st->codecpar;
  const unsigned forced_tag = par->codec_tag;
  if (avcodec_parameters_copy(par, src) < 0) Fail("failed to allocate extradata");
  unsigned tag = forced_tag;
  if (!tag) {
    unsigned tmp = 0;
    if (!oc->oformat->codec_tag || av_codec_get_id(oc->oformat->codec_tag, src->codec_tag) == src->codec_id ||
        !av_codec_get_tag2(oc->oformat->codec_tag, src->codec_id, &tmp))
      tag = src->codec_tag;
  }
  par->codec_tag = tag;

  // The container's idea of the timing: AVI, for one, counts in frames and
  // needs the frame rate (twice it, for field-based streams), not the
  // input's fine-grained time base, or it pads its index with empty frames.
  if (avformat_transfer_internal_stream_timing_info(oc->oformat, ost.st, ist->st, AVFMT_TBCF_AUTO) < 0)
    Fail("could not copy the stream's timing");
  AVRational fr = ost.frame_rate;
  if (!fr.num) fr = ist->framerate;
  if (fr.num)
    ost.st->time_base = av_inv_q(fr);
  else
    ost.st->time_base = av_add_q(av_stream_get_codec_timebase(ost.st), AVRational{0, 1});
  if (ost.st->time_base.num <= 0 || ost.st->time_base.den <= 0) ost.st->time_base = ist->st->time_base;
  av_reduce(&ost.st->time_base.num, &ost.st->time_base.den, ost.st->time_base.num, ost.st->time_base.den, INT_MAX);

  for (int i = 0; i < ist->st->nb_side_data; ++i) {
    const AVPacketSideData& sd = ist->st->side_data[i];
    uint8_t* dst = av_stream_new_side_data(ost.st, sd.type, sd.size);
    if (!dst) Fail("new side data failed");
    memcpy(dst, sd.data, sd.size);
  }
  av_dict_copy(&ost.st->metadata, ist->st->metadata, AV_DICT_DONT_OVERWRITE);
  ost.st->disposition = ist->st->disposition;

  switch (par->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      if (Opt.AudioOptions().AudioVolume() != 256)
        Fail("-acodec copy and -vol are incompatible (frames are not decoded)");
      if ((par->block_align == 1 || par->block_align == 1152 || par->block_align == 576) &&
          par->codec_id == AV_CODEC_ID_MP3)
        par->block_align = 0;
      if (par->codec_id == AV_CODEC_ID_AC3) par->block_align = 0;
      break;
    case AVMEDIA_TYPE_VIDEO: {
      AVRational sar;
      if (ost.frame_aspect_ratio.num)
        sar = av_mul_q(ost.frame_aspect_ratio, AVRational{par->height, par->width});
      else if (ist->st->sample_aspect_ratio.num)
        sar = ist->st->sample_aspect_ratio;
      else
        sar = src->sample_aspect_ratio;
      ost.st->sample_aspect_ratio = par->sample_aspect_ratio = sar;
      ost.st->avg_frame_rate = ist->st->avg_frame_rate;
      ost.st->r_frame_rate = ist->st->r_frame_rate;
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE:
    case AVMEDIA_TYPE_DATA:
    case AVMEDIA_TYPE_ATTACHMENT:
    case AVMEDIA_TYPE_UNKNOWN:
      break;
    default:
      Fail("unknown codec type");
  }
}

void TAVTranscoder::init_encoding(OutputStream& ost, InputStream* ist) {
  AVCodecContext* ec = ost.enc_ctx.get();
  if (!ost.enc) ost.enc = avcodec_find_encoder(ost.st->codecpar->codec_id);
  if (!ost.enc) Fail("Encoder codec not found for output stream");
  if (ist) ist->decoding_needed |= DECODING_FOR_OST;
  ost.encoding_needed = true;

  if (!ost.filter && (ost.type == AVMEDIA_TYPE_VIDEO || ost.type == AVMEDIA_TYPE_AUDIO)) {
    if (!ist) Fail("Error opening filters");
    TAVFilterGraph& fg = init_simple_filtergraph(*ist, ost);
    if (configure_filtergraph(fg) != 0) Fail("Error opening filters");
  }

  if (ost.type == AVMEDIA_TYPE_VIDEO) {
    if (!ost.frame_rate.num) {
      ost.frame_rate = av_buffersink_get_frame_rate(ost.filter->filter);
      if (!ost.frame_rate.num && ist && ist->framerate.num) ost.frame_rate = ist->framerate;
      if (!ost.frame_rate.num && ist && ist->st->r_frame_rate.num) ost.frame_rate = ist->st->r_frame_rate;
      if (!ost.frame_rate.num) ost.frame_rate = AVRational{25, 1};
    }
    if (ost.enc->supported_framerates) {
      const int idx = av_find_nearest_q_idx(ost.frame_rate, ost.enc->supported_framerates);
      ost.frame_rate = ost.enc->supported_framerates[idx];
    }
    if (ost.enc->id == AV_CODEC_ID_MPEG4)
      av_reduce(&ost.frame_rate.num, &ost.frame_rate.den, ost.frame_rate.num, ost.frame_rate.den, 65535);
  }

  AVFilterContext* sink = ost.filter ? ost.filter->filter : nullptr;
  switch (ost.type) {
    case AVMEDIA_TYPE_AUDIO: {
      ec->sample_fmt = static_cast<AVSampleFormat>(av_buffersink_get_format(sink));
      ec->sample_rate = av_buffersink_get_sample_rate(sink);
      av_channel_layout_uninit(&ec->ch_layout);
      if (av_buffersink_get_ch_layout(sink, &ec->ch_layout) < 0) Fail("Error opening filters");
      ec->time_base = AVRational{1, ec->sample_rate};
      break;
    }
    case AVMEDIA_TYPE_VIDEO: {
      ec->time_base = av_inv_q(ost.frame_rate);
      if (!(ec->time_base.num && ec->time_base.den)) ec->time_base = av_buffersink_get_time_base(sink);
      ec->width = av_buffersink_get_w(sink);
      ec->height = av_buffersink_get_h(sink);
      ec->sample_aspect_ratio = ost.st->sample_aspect_ratio =
          ost.frame_aspect_ratio.num
              ? av_mul_q(ost.frame_aspect_ratio, AVRational{ec->height, ec->width})
              : av_buffersink_get_sample_aspect_ratio(sink);
      ec->pix_fmt = static_cast<AVPixelFormat>(av_buffersink_get_format(sink));
      ost.st->avg_frame_rate = ost.frame_rate;
      ec->framerate = ost.frame_rate;
      if (!ist || ec->width != ist->dec_ctx->width || ec->height != ist->dec_ctx->height ||
          ec->pix_fmt != ist->dec_ctx->pix_fmt)
        ec->bits_per_raw_sample = 0;
      else
        ec->bits_per_raw_sample = ist->dec_ctx->bits_per_raw_sample;
      if (C.HasVideoBuffer()) init_video_buffer_exchange(ost);
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE:
      ec->time_base = AVRational{1, 1000};
      if (ist) {
        ec->width = ist->dec_ctx->width;
        ec->height = ist->dec_ctx->height;
      }
      break;
    case AVMEDIA_TYPE_DATA:
      break;
    default:
      Fail("Invalid Media Type");
  }
}

int TAVTranscoder::transcode_init() {
  // Outputs of single-input graphs report that input as their source.
  for (auto& fg : filtergraphs) {
    if (fg->inputs.size() != 1) continue;
    for (auto& of : fg->outputs) {
      if (!of->ost || of->ost->source_index >= 0) continue;
      int idx = -1;
      for (int k = static_cast<int>(input_streams.size()) - 1; k >= 0; --k)
        if (input_streams[static_cast<size_t>(k)].get() == fg->inputs[0]->ist) {
          idx = k;
          break;
        }
      of->ost->source_index = idx;
    }
  }

  if (Opt.RateEmu())
    for (auto& ist : input_streams) ist->start = av_gettime_relative();

  for (auto& of : output_files) {
    if (of->ctx->nb_streams == 0 && !(of->ctx->oformat->flags & AVFMT_NOSTREAMS))
      Fail("Output file does not contain any stream");
  }

  {
    TCLocaleScope c_numbers;
    for (auto& fg : filtergraphs) {
      if (!fg->graph || fg->configured) continue;
      const int ret = avfilter_graph_config(fg->graph.get(), nullptr);
      if (ret < 0) return ret;
      fg->configured = true;
    }
  }

  for (auto& ostp : output_streams) {
    OutputStream& ost = *ostp;
    InputStream* ist = get_input_stream(ost);
    if (ist) {
      ost.st->disposition = ist->st->disposition;
    } else if (ost.type == AVMEDIA_TYPE_VIDEO || ost.type == AVMEDIA_TYPE_AUDIO) {
      bool same = false;
      for (auto& other : output_streams)
        if (other.get() != &ost && other->file_index == ost.file_index && other->type == ost.type) same = true;
      if (!same) ost.st->disposition |= AV_DISPOSITION_DEFAULT;
    }
    if (ost.stream_copy) {
      init_stream_copy(ost, ist);
    } else {
      if (ist) {
        ost.enc_ctx->bits_per_raw_sample = ist->dec_ctx->bits_per_raw_sample;
        ost.enc_ctx->chroma_sample_location = ist->dec_ctx->chroma_sample_location;
      }
      init_encoding(ost, ist);
      init_two_pass(ost);
    }
  }

  // The decoders open before the encoders: a text subtitle encoder takes its
  // header (styles, script info) from the decoder of its input, and an ASS
  // file without one cannot be read.
  for (int i = 0; i < static_cast<int>(input_streams.size()); ++i) init_input_stream(i);

  for (auto& ostp : output_streams) {
    OutputStream& ost = *ostp;
    if (ost.encoding_needed) {
      AVCodecContext* ec = ost.enc_ctx.get();
      InputStream* ist = get_input_stream(ost);
      if (ist && ist->dec_ctx->subtitle_header && ost.type == AVMEDIA_TYPE_SUBTITLE) {
        ec->subtitle_header = static_cast<uint8_t*>(av_mallocz(ist->dec_ctx->subtitle_header_size + 1));
        if (!ec->subtitle_header) Fail("can not alloc subtitle header");
        memcpy(ec->subtitle_header, ist->dec_ctx->subtitle_header, ist->dec_ctx->subtitle_header_size);
        ec->subtitle_header_size = ist->dec_ctx->subtitle_header_size;
      }
      if (!av_dict_get(ost.encoder_opts.get(), "threads", nullptr, 0))
        av_dict_set(&ost.encoder_opts, "threads", "auto", 0);
      int ret;
      {
        std::lock_guard<std::mutex> lock(AVMutex());
        TCLocaleScope c_numbers;
        ret = avcodec_open2(ec, ost.enc, &ost.encoder_opts);
      }
      if (ret < 0)
        Fail("Error while opening codec for output stream - maybe incorrect parameters such as bit_rate, rate, width or height:" +
             C.LastErrorMessage());
      if (ost.type == AVMEDIA_TYPE_AUDIO && ost.filter && ost.filter->filter &&
          !(ost.enc->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) && ec->frame_size > 0)
        av_buffersink_set_frame_size(ost.filter->filter, static_cast<unsigned>(ec->frame_size));
      ost.encoder_opts.reset();
      if (avcodec_parameters_from_context(ost.st->codecpar, ec) < 0)
        Fail("Error initializing the output stream codec context.");
      // What the encoder states about its stream beyond the parameters (the
      // buffer and rates of its CPB): the MPEG program stream muxer sizes
      // its buffer bounds and mux rate from it.
      for (int i = 0; i < ec->nb_coded_side_data; ++i) {
        const AVPacketSideData& sd = ec->coded_side_data[i];
        uint8_t* dst = av_stream_new_side_data(ost.st, sd.type, sd.size);
        if (!dst) Fail("new side data failed");
        memcpy(dst, sd.data, sd.size);
      }
      ost.st->time_base = ec->time_base;
      if (ist && ost.type != AVMEDIA_TYPE_SUBTITLE)
        av_dict_copy(&ost.st->metadata, ist->st->metadata, AV_DICT_DONT_OVERWRITE);
      // The input's encoder tag says nothing about our encoder.
      av_dict_set(&ost.st->metadata, "encoder", nullptr, 0);
    } else if (ost.stream_copy) {
      // Options meant for an encoder that is not there; nothing to apply them to.
      ost.encoder_opts.reset();
    }
    init_bitstream_filter(ost);
  }

  for (auto& fp : input_files) {
    AVFormatContext* ic = fp->ctx.get();
    for (unsigned p = 0; p < ic->nb_programs; ++p) {
      AVProgram* prog = ic->programs[p];
      AVDiscard d = AVDISCARD_ALL;
      for (unsigned k = 0; k < prog->nb_stream_indexes; ++k)
        if (!input_streams[static_cast<size_t>(fp->ist_index) + prog->stream_index[k]]->discard) {
          d = AVDISCARD_DEFAULT;
          break;
        }
      prog->discard = d;
    }
  }

  // Copied pictures from StartTime keep a lead-in from the key frame before
  // the start, at times before zero. Matroska would shift the whole file by
  // it (and the file would last the lead-in longer); unshifted, the lead-in
  // is stored before the first timed block, where players decode it without
  // showing it. MP4 needs nothing: its edit list hides the lead-in.
  if (Opt.StartTime() != 0)
    for (auto& of : output_files) {
      const char* name = of->ctx->oformat->name;
      if (strcmp(name, "matroska") != 0 && strcmp(name, "webm") != 0) continue;
      for (auto& ost : output_streams)
        if (ost->file_index == static_cast<int>(&of - output_files.data()) && ost->stream_copy &&
            ost->type == AVMEDIA_TYPE_VIDEO)
          av_dict_set(&of->opts, "avoid_negative_ts", "disabled", AV_DICT_DONT_OVERWRITE);
    }

  open_outputs_and_write_headers();
  return 0;
}

namespace {

// A seekable byte sink in memory for the trial header: muxers that go back
// to patch their header (MP4) refuse an output they cannot seek in.
struct TMemorySink {
  std::vector<uint8_t> data;
  int64_t pos = 0;
  static constexpr int64_t kLimit = 64 << 20;  // far more than any header

  static int Write(void* opaque, uint8_t* buf, int size) noexcept {
    auto* s = static_cast<TMemorySink*>(opaque);
    if (size < 0 || s->pos + size > kLimit) return AVERROR(ENOSPC);
    try {
      if (s->data.size() < static_cast<size_t>(s->pos + size)) s->data.resize(static_cast<size_t>(s->pos + size));
    } catch (...) {
      return AVERROR(ENOMEM);
    }
    memcpy(s->data.data() + s->pos, buf, static_cast<size_t>(size));
    s->pos += size;
    return size;
  }
  static int64_t Seek(void* opaque, int64_t offset, int whence) noexcept {
    auto* s = static_cast<TMemorySink*>(opaque);
    const int64_t size = static_cast<int64_t>(s->data.size());
    switch (whence & ~AVSEEK_FORCE) {
      case AVSEEK_SIZE: return size;
      case SEEK_SET: break;
      case SEEK_CUR: offset += s->pos; break;
      case SEEK_END: offset += size; break;
      default: return AVERROR(EINVAL);
    }
    if (offset < 0 || offset > kLimit) return AVERROR(EINVAL);
    s->pos = offset;
    return offset;
  }
};

}  // namespace

int TAVTranscoder::try_header(const OutputFile& of) {
  const AVFormatContext* oc = of.ctx;
  // Muxers that write no byte output of their own (segments, playlists,
  // devices) would make their files here: they are not tried.
  if (oc->oformat->flags & AVFMT_NOFILE) return 0;
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, oc->oformat, nullptr, oc->url) < 0 || !raw) return AVERROR(ENOMEM);
  AVFormatContextPtr t(raw);
  av_dict_copy(&t->metadata, oc->metadata, 0);
  t->max_delay = oc->max_delay;
  for (unsigned i = 0; i < oc->nb_streams; ++i) {
    const AVStream* src = oc->streams[i];
    AVStream* st = avformat_new_stream(t.get(), nullptr);
    if (!st || avcodec_parameters_copy(st->codecpar, src->codecpar) < 0) return AVERROR(ENOMEM);
    st->time_base = src->time_base;
    st->sample_aspect_ratio = src->sample_aspect_ratio;
    st->avg_frame_rate = src->avg_frame_rate;
    st->r_frame_rate = src->r_frame_rate;
    st->disposition = src->disposition;
    av_dict_copy(&st->metadata, src->metadata, 0);
    for (int k = 0; k < src->nb_side_data; ++k) {
      const AVPacketSideData& sd = src->side_data[k];
      uint8_t* dst = av_stream_new_side_data(st, sd.type, sd.size);
      if (dst) memcpy(dst, sd.data, sd.size);
    }
  }
  TMemorySink sink;
  constexpr int kBufSize = 32768;
  auto* buf = static_cast<uint8_t*>(av_malloc(kBufSize));
  if (!buf) return AVERROR(ENOMEM);
  AVIOContextPtr pb(avio_alloc_context(buf, kBufSize, 1, &sink, nullptr, TMemorySink::Write, TMemorySink::Seek));
  if (!pb) {
    av_free(buf);
    return AVERROR(ENOMEM);
  }
  t->pb = pb.get();
  t->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVDictionaryHolder opts;
  av_dict_copy(&opts, of.opts.get(), 0);
  int ret;
  {
    TCLocaleScope c_numbers;
    ret = avformat_write_header(t.get(), &opts);
  }
  // The muxer's own state goes first; then the I/O it wrote through.
  t.reset();
  return ret < 0 ? ret : 0;
}

void TAVTranscoder::open_outputs_and_write_headers() {
  const std::string headerError = "Could not write header for output file  (incorrect codec parameters ?)";
  for (auto& of : output_files)
    if (try_header(*of) < 0) Fail(headerError + C.LastErrorMessage());
  try {
    for (auto& of : output_files) {
      AVFormatContext* oc = of->ctx;
      if (!(oc->oformat->flags & AVFMT_NOFILE)) {
        std::error_code ec;
        if (!of->path.empty()) {
          of->created = !std::filesystem::exists(std::filesystem::symlink_status(of->path, ec));
          const std::filesystem::path dir = std::filesystem::path(of->path).parent_path();
          if (!dir.empty()) std::filesystem::create_directories(dir, ec);
        }
        AVIOInterruptCB cb = FOutputInterrupt;
        if (OpenOutputUrl(oc, of->url, &cb, nullptr, of->io) < 0) {
          of->created = false;
          Fail(Format("Could not write to file %s", of->url.c_str()));
        }
      }
      int ret;
      {
        TCLocaleScope c_numbers;
        ret = avformat_write_header(oc, &of->opts);
      }
      if (ret < 0) Fail(headerError + C.LastErrorMessage());
      of->header_written = true;
    }
  } catch (...) {
    // Nothing is left behind that could pass for a result; a file that was
    // there before is the user's and stays.
    for (auto& of : output_files) {
      CloseOutputUrl(of->ctx, of->io);
      if (of->created) {
        std::error_code ec;
        std::filesystem::remove(of->path, ec);
        of->created = false;
      }
      of->header_written = false;
    }
    throw;
  }
}

}  // namespace kivora
