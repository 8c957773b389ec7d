// Filter graphs between the decoders and the encoders: the simple graph of
// each encoded stream, the complex graphs of ComplexFilters, the buffer
// sources and sinks around them, and the format lists the encoders accept.
#include <cstdlib>
#include <cstring>

#include "kivora/converter/transcoder.h"
#include "kivora/platform/exception.h"
#include "kivora/runtime/clocale.h"
#include "kivora/runtime/cmdutils.h"

namespace kivora {

namespace {

std::string Join(const std::vector<std::string>& items) {
  std::string r;
  for (const std::string& s : items) {
    if (!r.empty()) r += '|';
    r += s;
  }
  return r;
}

// The formats the JPEG encoders take at normal compliance: they list limited
// range YUV too, but refuse it unless told that unofficial output is fine.
const AVPixelFormat PixelsMJPEG[] = {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUVJ444P,
                                     AV_PIX_FMT_NONE};
const AVPixelFormat PixelsLJPEG[] = {AV_PIX_FMT_BGR24,   AV_PIX_FMT_BGRA,    AV_PIX_FMT_BGR0,
                                     AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ444P, AV_PIX_FMT_YUVJ422P,
                                     AV_PIX_FMT_YUV420P,  AV_PIX_FMT_YUV444P,  AV_PIX_FMT_YUV422P,
                                     AV_PIX_FMT_NONE};

const AVPixelFormat* EncoderPixelList(const AVCodecContext* enc_ctx, const AVCodec* codec) {
  if (!codec) return nullptr;
  if (enc_ctx->strict_std_compliance > FF_COMPLIANCE_UNOFFICIAL) {
    if (codec->id == AV_CODEC_ID_MJPEG) return PixelsMJPEG;
    if (codec->id == AV_CODEC_ID_LJPEG) return PixelsLJPEG;
  }
  return codec->pix_fmts;
}

AVPixelFormat choose_pixel_fmt(const AVCodecContext* enc_ctx, const AVCodec* codec, AVPixelFormat target) {
  const AVPixelFormat* p = EncoderPixelList(enc_ctx, codec);
  if (!p) return target;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(target);
  const int has_alpha = desc ? desc->nb_components % 2 == 0 : 0;
  AVPixelFormat best = AV_PIX_FMT_NONE;
  for (; *p != AV_PIX_FMT_NONE; ++p) {
    best = av_find_best_pix_fmt_of_2(best, *p, target, has_alpha, nullptr);
    if (*p == target) return target;
  }
  if (target != AV_PIX_FMT_NONE)
    av_log(nullptr, AV_LOG_WARNING, "Incompatible pixel format '%s' for codec '%s', auto-selecting format '%s'\n",
           av_get_pix_fmt_name(target), codec->name, av_get_pix_fmt_name(best));
  return best;
}

std::string choose_pix_fmts(OutputStream& ost) {
  AVCodecContext* ec = ost.enc_ctx.get();
  if (const AVDictionaryEntry* strict = av_dict_get(ost.encoder_opts.get(), "strict", nullptr, 0))
    av_opt_set(ec, "strict", strict->value, 0);
  if (ec->pix_fmt != AV_PIX_FMT_NONE) {
    const char* n = av_get_pix_fmt_name(choose_pixel_fmt(ec, ost.enc, ec->pix_fmt));
    return n ? n : "";
  }
  const AVPixelFormat* p = EncoderPixelList(ec, ost.enc);
  if (!p) return {};
  std::vector<std::string> names;
  for (; *p != AV_PIX_FMT_NONE; ++p)
    if (const char* n = av_get_pix_fmt_name(*p)) names.push_back(n);
  return Join(names);
}

std::string LayoutText(const AVChannelLayout& l) {
  if (l.order == AV_CHANNEL_ORDER_NATIVE && l.u.mask)
    return Format("0x%llX", static_cast<unsigned long long>(l.u.mask));
  return Format("%dc", l.nb_channels);
}

std::string choose_sample_fmts(const OutputStream& ost) {
  const AVCodecContext* ec = ost.enc_ctx.get();
  if (ec->sample_fmt != AV_SAMPLE_FMT_NONE) return av_get_sample_fmt_name(ec->sample_fmt);
  if (!ost.enc || !ost.enc->sample_fmts) return {};
  std::vector<std::string> names;
  for (const AVSampleFormat* p = ost.enc->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p)
    names.push_back(av_get_sample_fmt_name(*p));
  return Join(names);
}

std::string choose_sample_rates(const OutputStream& ost) {
  const AVCodecContext* ec = ost.enc_ctx.get();
  if (ec->sample_rate) return std::to_string(ec->sample_rate);
  if (!ost.enc || !ost.enc->supported_samplerates) return {};
  std::vector<std::string> rates;
  for (const int* p = ost.enc->supported_samplerates; *p; ++p) rates.push_back(std::to_string(*p));
  return Join(rates);
}

std::string choose_channel_layouts(const OutputStream& ost) {
  const AVCodecContext* ec = ost.enc_ctx.get();
  if (ec->ch_layout.nb_channels) return LayoutText(ec->ch_layout);
  if (!ost.enc || !ost.enc->ch_layouts) return {};
  std::vector<std::string> layouts;
  for (const AVChannelLayout* p = ost.enc->ch_layouts; p->nb_channels; ++p) layouts.push_back(LayoutText(*p));
  return Join(layouts);
}

// The pad name part of aname: "filter" or "filter:pad" when it has several.
std::string PadName(AVFilterContext* ctx, int pad_idx, bool input) {
  const unsigned n = input ? ctx->nb_inputs : ctx->nb_outputs;
  std::string name = ctx->name ? ctx->name : "";
  if (n > 1) {
    const char* pad = avfilter_pad_get_name(input ? ctx->input_pads : ctx->output_pads, pad_idx);
    name += ":";
    name += pad ? pad : "";
  }
  return name;
}

}  // namespace

void TAVTranscoder::opt_filter_complex(const std::string& desc) {
  auto fg = std::make_unique<TAVFilterGraph>();
  fg->index = static_cast<int>(filtergraphs.size());
  fg->graph_desc = desc;
  filtergraphs.push_back(std::move(fg));
}

int TAVTranscoder::configure_complex_filters() {
  for (auto& fg : filtergraphs) {
    if (fg->graph) continue;
    const int ret = configure_filtergraph(*fg);
    if (ret < 0) return ret;
  }
  return 0;
}

TAVFilterGraph& TAVTranscoder::init_simple_filtergraph(InputStream& ist, OutputStream& ost) {
  auto fgp = std::make_unique<TAVFilterGraph>();
  TAVFilterGraph& fg = *fgp;
  fg.index = static_cast<int>(filtergraphs.size());
  auto of = std::make_unique<TOutputFilter>();
  of->ost = &ost;
  of->graph = &fg;
  of->type = ost.type;
  ost.filter = of.get();
  fg.outputs.push_back(std::move(of));
  auto inf = std::make_unique<TInputFilter>();
  inf->ist = &ist;
  inf->graph = &fg;
  inf->type = ist.st->codecpar->codec_type;
  ist.filters.push_back(inf.get());
  fg.inputs.push_back(std::move(inf));
  filtergraphs.push_back(std::move(fgp));
  return fg;
}

bool TAVTranscoder::ist_in_filtergraph(const TAVFilterGraph& fg, const InputStream* ist) const {
  for (const auto& in : fg.inputs)
    if (in->ist == ist) return true;
  return false;
}

void TAVTranscoder::init_input_filter(TAVFilterGraph& fg, AVFilterInOut* in) {
  const AVMediaType type = avfilter_pad_get_type(in->filter_ctx->input_pads, in->pad_idx);
  if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO)
    Fail("Only video and audio filters supported currently.");
  InputStream* ist = nullptr;
  if (in->name) {
    char* p = nullptr;
    const long file_idx = std::strtol(in->name, &p, 0);
    if (p == in->name || file_idx < 0 || file_idx >= static_cast<long>(input_files.size()))
      Fail("Invalid file index in filtergraph description");
    if (*p == ':') ++p;
    InputFile& f = *input_files[static_cast<size_t>(file_idx)];
    for (int i = 0; i < f.nb_streams; ++i) {
      AVStream* st = f.ctx->streams[i];
      if (st->codecpar->codec_type != type) continue;
      if (*p == 0 || check_stream_specifier(f.ctx.get(), st, p) == 1) {
        ist = input_streams[static_cast<size_t>(f.ist_index + i)].get();
        break;
      }
    }
    if (!ist) Fail("Steram specifier in filtergraph description");
  } else {
    for (auto& s : input_streams) {
      if (s->st->codecpar->codec_type == type && s->discard) {
        ist = s.get();
        break;
      }
    }
    if (!ist) Fail("cannot find a matching stream for unlabeled input pad on filter");
  }
  ist->discard = false;
  ist->st->discard = AVDISCARD_NONE;
  ist->decoding_needed |= DECODING_FOR_FILTER;
  auto inf = std::make_unique<TInputFilter>();
  inf->ist = ist;
  inf->graph = &fg;
  inf->type = type;
  inf->label = in->name ? in->name : "";
  ist->filters.push_back(inf.get());
  fg.inputs.push_back(std::move(inf));
}

void TAVTranscoder::init_output_filter(TOutputFilter& ofilter, AVFormatContext* oc) {
  OutputStream* ost;
  switch (ofilter.type) {
    case AVMEDIA_TYPE_VIDEO: ost = &new_video_stream(oc, -1); break;
    case AVMEDIA_TYPE_AUDIO: ost = &new_audio_stream(oc, -1); break;
    default: Fail("Only video and audio filters are supported");
  }
  ost->filter = &ofilter;
  ofilter.ost = ost;
  if (ost->stream_copy) Fail("Stream copy requested for output stream");
  if (configure_output_filter(*ofilter.graph, ofilter, ofilter.out_tmp.get()) < 0) Fail("Error configuring filter.");
  ofilter.out_tmp.reset();
}

int TAVTranscoder::configure_filtergraph(TAVFilterGraph& fg) {
  const bool simple = Trim(fg.graph_desc).empty();
  const bool first = !fg.graph;
  const std::string desc = simple ? fg.outputs.at(0)->ost->avfilter : fg.graph_desc;

  fg.graph.reset(avfilter_graph_alloc());
  fg.configured = false;
  if (!fg.graph) Fail("Can not allocate memory for filter graph");
  for (auto& in : fg.inputs) in->filter = nullptr;
  for (auto& out : fg.outputs) out->filter = nullptr;
  AVFilterGraph* graph = fg.graph.get();

  TCLocaleScope c_numbers;
  if (simple) {
    OutputStream& ost = *fg.outputs[0]->ost;
    graph->scale_sws_opts = av_strdup(Format("flags=0x%X", static_cast<unsigned>(ost.sws_flags)).c_str());
    if (const AVDictionaryEntry* e = av_dict_get(ost.encoder_opts.get(), "threads", nullptr, 0))
      av_opt_set(graph, "threads", e->value, 0);
  }

  AVFilterInOut* rawIn = nullptr;
  AVFilterInOut* rawOut = nullptr;
  int ret = avfilter_graph_parse2(graph, desc.c_str(), &rawIn, &rawOut);
  AVFilterInOutPtr inputs(rawIn), outputs(rawOut);
  if (ret < 0) return ret;

  if (simple && (!rawIn || rawIn->next || !rawOut || rawOut->next))
    Fail("simple filtergraph does not have exactly one input and output");

  if (!simple && first)
    for (AVFilterInOut* cur = rawIn; cur; cur = cur->next) init_input_filter(fg, cur);

  {
    size_t i = 0;
    for (AVFilterInOut* cur = rawIn; cur; cur = cur->next, ++i) {
      if (i >= fg.inputs.size()) return AVERROR(EINVAL);
      ret = configure_input_filter(fg, *fg.inputs[i], cur);
      if (ret < 0) return ret;
    }
  }

  if (simple || !first) {
    size_t i = 0;
    for (AVFilterInOut* cur = rawOut; cur; cur = cur->next, ++i) {
      if (i >= fg.outputs.size()) return AVERROR(EINVAL);
      ret = configure_output_filter(fg, *fg.outputs[i], cur);
      if (ret < 0) return ret;
    }
    ret = avfilter_graph_config(graph, nullptr);
    if (ret < 0) return ret;
    fg.configured = true;
  } else {
    AVFilterInOut* cur = outputs.release();
    while (cur) {
      AVFilterInOut* next = cur->next;
      cur->next = nullptr;
      auto of = std::make_unique<TOutputFilter>();
      of->graph = &fg;
      of->type = avfilter_pad_get_type(cur->filter_ctx->output_pads, cur->pad_idx);
      of->label = cur->name ? cur->name : "";
      of->out_tmp.reset(cur);
      fg.outputs.push_back(std::move(of));
      cur = next;
    }
  }

  for (auto& of : fg.outputs) {
    OutputStream* ost = of->ost;
    if (ost && of->filter && ost->type == AVMEDIA_TYPE_AUDIO && ost->enc &&
        !(ost->enc->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) && ost->enc_ctx->frame_size > 0)
      av_buffersink_set_frame_size(of->filter, static_cast<unsigned>(ost->enc_ctx->frame_size));
  }
  return 0;
}

int TAVTranscoder::configure_input_filter(TAVFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut* in) {
  ifilter.aname = PadName(in->filter_ctx, in->pad_idx, true);
  if (!ifilter.ist->dec)
    Fail(Format("No decoder for stream #%d:%d, filtering impossible", ifilter.ist->file_index,
                ifilter.ist->st->index));
  switch (avfilter_pad_get_type(in->filter_ctx->input_pads, in->pad_idx)) {
    case AVMEDIA_TYPE_VIDEO: return configure_input_video_filter(fg, ifilter, in);
    case AVMEDIA_TYPE_AUDIO: return configure_input_audio_filter(fg, ifilter, in);
    default: Fail("Only video and audio filters supported currently.");
  }
}

int TAVTranscoder::configure_output_filter(TAVFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut* out) {
  ofilter.aname = PadName(out->filter_ctx, out->pad_idx, false);
  switch (avfilter_pad_get_type(out->filter_ctx->output_pads, out->pad_idx)) {
    case AVMEDIA_TYPE_VIDEO: return configure_output_video_filter(fg, ofilter, out);
    case AVMEDIA_TYPE_AUDIO: return configure_output_audio_filter(fg, ofilter, out);
    default: Fail("Only video and audio filters are supported");
  }
}

int TAVTranscoder::configure_input_video_filter(TAVFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut* in) {
  InputStream& ist = *ifilter.ist;
  InputFile& f = *input_files[static_cast<size_t>(ist.file_index)];
  const AVRational tb = ist.framerate.num ? av_inv_q(ist.framerate) : ist.st->time_base;
  AVRational sar = ist.st->sample_aspect_ratio.num ? ist.st->sample_aspect_ratio : ist.dec_ctx->sample_aspect_ratio;
  if (!sar.den) sar = AVRational{0, 1};
  const AVRational fr = ist.framerate.num ? ist.framerate : av_guess_frame_rate(f.ctx.get(), ist.st, nullptr);
  std::string args = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", ist.resample_width,
                            ist.resample_height, ist.resample_pix_fmt, tb.num, tb.den, sar.num, sar.den);
  if (fr.num && fr.den) args += Format(":frame_rate=%d/%d", fr.num, fr.den);
  const std::string name = Format("graph %d input from stream %d:%d", fg.index, ist.file_index, ist.st->index);
  int ret = avfilter_graph_create_filter(&ifilter.filter, avfilter_get_by_name("buffer"), name.c_str(), args.c_str(),
                                         nullptr, fg.graph.get());
  if (ret < 0) return ret;
  AVFilterContext* last = ifilter.filter;
  if ((ret = insert_start_trim(fg, ist, "trim", last)) < 0) return ret;
  if (ist.framerate.num) {
    AVFilterContext* setpts = nullptr;
    ret = avfilter_graph_create_filter(&setpts, avfilter_get_by_name("setpts"),
                                       Format("force CFR for input from stream %d:%d", ist.file_index, ist.st->index).c_str(),
                                       "N", nullptr, fg.graph.get());
    if (ret < 0) return ret;
    if ((ret = avfilter_link(last, 0, setpts, 0)) < 0) return ret;
    last = setpts;
  }
  if (Opt.VideoOptions().Deinterlace()) {
    AVFilterContext* yadif = nullptr;
    ret = avfilter_graph_create_filter(&yadif, avfilter_get_by_name("yadif"),
                                       Format("deinterlace input from stream %d:%d", ist.file_index, ist.st->index).c_str(),
                                       "", nullptr, fg.graph.get());
    if (ret < 0) return ret;
    if ((ret = avfilter_link(last, 0, yadif, 0)) < 0) return ret;
    last = yadif;
  }
  return avfilter_link(last, 0, in->filter_ctx, static_cast<unsigned>(in->pad_idx));
}

int TAVTranscoder::configure_input_audio_filter(TAVFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut* in) {
  InputStream& ist = *ifilter.ist;
  if (ist.resample_sample_rate <= 0) return AVERROR(EINVAL);
  const char* fmt = av_get_sample_fmt_name(static_cast<AVSampleFormat>(ist.resample_sample_fmt));
  if (!fmt) return AVERROR(EINVAL);
  std::string args = Format("time_base=%d/%d:sample_rate=%d:sample_fmt=%s", 1, ist.resample_sample_rate,
                            ist.resample_sample_rate, fmt);
  if (ist.resample_ch_layout.order != AV_CHANNEL_ORDER_UNSPEC && ist.resample_ch_layout.nb_channels) {
    char desc[128];
    av_channel_layout_describe(&ist.resample_ch_layout, desc, sizeof desc);
    args += Format(":channel_layout=%s", desc);
  } else {
    args += Format(":channels=%d", ist.resample_channels);
  }
  const std::string name = Format("graph %d input from stream %d:%d", fg.index, ist.file_index, ist.st->index);
  int ret = avfilter_graph_create_filter(&ifilter.filter, avfilter_get_by_name("abuffer"), name.c_str(), args.c_str(),
                                         nullptr, fg.graph.get());
  if (ret < 0) return ret;
  AVFilterContext* last = ifilter.filter;
  if ((ret = insert_start_trim(fg, ist, "atrim", last)) < 0) return ret;
  return avfilter_link(last, 0, in->filter_ctx, static_cast<unsigned>(in->pad_idx));
}

int TAVTranscoder::configure_output_video_filter(TAVFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut* out) {
  OutputStream& ost = *ofilter.ost;
  const int fi = ost.file_index, si = ost.index;
  int ret = avfilter_graph_create_filter(&ofilter.filter, avfilter_get_by_name("buffersink"),
                                         Format("output stream %d:%d", fi, si).c_str(), nullptr, nullptr, fg.graph.get());
  if (ret < 0) return ret;
  AVFilterContext* last = out->filter_ctx;
  unsigned pad = static_cast<unsigned>(out->pad_idx);
  AVCodecContext* ec = ost.enc_ctx.get();
  if (ec->width || ec->height) {
    AVFilterContext* scale = nullptr;
    ret = avfilter_graph_create_filter(&scale, avfilter_get_by_name("scale"),
                                       Format("scaler for output stream %d:%d", fi, si).c_str(),
                                       Format("%d:%d:flags=0x%X", ec->width, ec->height, static_cast<unsigned>(ost.sws_flags)).c_str(),
                                       nullptr, fg.graph.get());
    if (ret < 0) return ret;
    if ((ret = avfilter_link(last, pad, scale, 0)) < 0) return ret;
    last = scale;
    pad = 0;
  }
  const std::string pix = choose_pix_fmts(ost);
  if (!pix.empty()) {
    AVFilterContext* format = nullptr;
    ret = avfilter_graph_create_filter(&format, avfilter_get_by_name("format"),
                                       Format("pixel format for output stream %d:%d", fi, si).c_str(), pix.c_str(),
                                       nullptr, fg.graph.get());
    if (ret < 0) return ret;
    if ((ret = avfilter_link(last, pad, format, 0)) < 0) return ret;
    last = format;
    pad = 0;
  }
  return avfilter_link(last, pad, ofilter.filter, 0);
}

int TAVTranscoder::configure_output_audio_filter(TAVFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut* out) {
  OutputStream& ost = *ofilter.ost;
  const int fi = ost.file_index, si = ost.index;
  AVFilterContext* sink = avfilter_graph_alloc_filter(fg.graph.get(), avfilter_get_by_name("abuffersink"),
                                                      Format("output stream %d:%d", fi, si).c_str());
  if (!sink) return AVERROR(ENOMEM);
  av_opt_set_int(sink, "all_channel_counts", 1, AV_OPT_SEARCH_CHILDREN);
  int ret = avfilter_init_str(sink, nullptr);
  if (ret < 0) return ret;
  ofilter.filter = sink;
  AVCodecContext* ec = ost.enc_ctx.get();
  if (ec->ch_layout.nb_channels && ec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    const int n = ec->ch_layout.nb_channels;
    av_channel_layout_uninit(&ec->ch_layout);
    av_channel_layout_default(&ec->ch_layout, n);
  }
  AVFilterContext* last = out->filter_ctx;
  unsigned pad = static_cast<unsigned>(out->pad_idx);
  std::string args;
  const std::string fmts = choose_sample_fmts(ost), rates = choose_sample_rates(ost),
                    layouts = choose_channel_layouts(ost);
  if (!fmts.empty()) args += Format("sample_fmts=%s:", fmts.c_str());
  if (!rates.empty()) args += Format("sample_rates=%s:", rates.c_str());
  if (!layouts.empty()) args += Format("channel_layouts=%s:", layouts.c_str());
  if (!args.empty()) {
    AVFilterContext* aformat = nullptr;
    ret = avfilter_graph_create_filter(&aformat, avfilter_get_by_name("aformat"),
                                       Format("audio format for output stream %d:%d", fi, si).c_str(), args.c_str(),
                                       nullptr, fg.graph.get());
    if (ret < 0) return ret;
    if ((ret = avfilter_link(last, pad, aformat, 0)) < 0) return ret;
    last = aformat;
    pad = 0;
  }
  return avfilter_link(last, pad, sink, 0);
}

int TAVTranscoder::insert_start_trim(TAVFilterGraph& fg, InputStream& ist, const char* filter, AVFilterContext*& last) {
  // The seek to StartTime lands on the key frame before it; the pictures and
  // sound between that key frame and the start point are decoded (the later
  // ones need them) but must not reach the output. Timestamps are already
  // shifted so that the start point is 0.
  if (Opt.StartTime() == 0) return 0;
  AVFilterContext* trim = nullptr;
  int ret = avfilter_graph_create_filter(&trim, avfilter_get_by_name(filter),
                                         Format("trim for input stream %d:%d", ist.file_index, ist.st->index).c_str(),
                                         "start=0", nullptr, fg.graph.get());
  if (ret < 0) return ret;
  if ((ret = avfilter_link(last, 0, trim, 0)) < 0) return ret;
  last = trim;
  return 0;
}

void TAVTranscoder::drain_filtergraph(TAVFilterGraph& fg) {
  if (!fg.configured) return;
  for (auto& in : fg.inputs)
    if (in->filter && av_buffersrc_add_frame(in->filter, nullptr) < 0) break;
  for (auto& of : fg.outputs) {
    if (!of->ost || !of->filter) continue;
    OutputStream& ost = *of->ost;
    if (!ost.filtered_frame) ost.filtered_frame.reset(av_frame_alloc());
    if (!ost.filtered_frame) Fail("cannot allocate frame for filtergraph");
    while (av_buffersink_get_frame(of->filter, ost.filtered_frame.get()) >= 0)
      reap_one(ost, ost.filtered_frame.get(), *of);
  }
}

}  // namespace kivora
