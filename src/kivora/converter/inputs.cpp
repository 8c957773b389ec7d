// Opening the inputs of a conversion, their streams and decoders, the free
// FFmpeg options, and the reader threads used when there are several inputs.
#include <algorithm>
#include <cstring>

#include "kivora/converter/transcoder.h"
#include "kivora/platform/exception.h"
#include "kivora/runtime/clocale.h"
#include "kivora/runtime/cmdutils.h"

namespace kivora {

void Fail(const std::string& msg) { throw Exception(msg); }

namespace {

int InterruptCallback(void* opaque) noexcept {
  const auto* flag = static_cast<const std::atomic<bool>*>(opaque);
  return flag && flag->load() ? 1 : 0;
}

}  // namespace

int TAVTranscoder::InputInterrupted(void* opaque) noexcept {
  const auto* t = static_cast<const TAVTranscoder*>(opaque);
  return t && (t->FInputAbort.load() || t->FReadersDone.load()) ? 1 : 0;
}

TAVTranscoder::TAVTranscoder(TConvertRun& run)
    : C(run), Opt(run.options), FInputAbort(run.inputAbort), FOutputAbort(run.outputAbort) {
  FInputInterrupt.callback = InputInterrupted;
  FInputInterrupt.opaque = this;
  FOutputInterrupt.callback = InterruptCallback;
  FOutputInterrupt.opaque = &FOutputAbort;
}

TAVTranscoder::~TAVTranscoder() {
  try {
    free_input_threads();
  } catch (...) {
  }
  // Graphs refer to streams, streams to files: free in that order.
  filtergraphs.clear();
  output_streams.clear();
  output_files.clear();
  input_streams.clear();
  input_files.clear();
}

OutputFile::~OutputFile() {
  if (!ctx) return;
  if (ctx->oformat) CloseOutputUrl(ctx, io);
  avformat_free_context(ctx);
}

OutputStream::~OutputStream() {
  if (logfile) fclose(logfile);
  if (enc_ctx) av_freep(&enc_ctx->stats_in);
}

// ---- free options ----

void TAVTranscoder::opt_default(const std::string& name, const std::string& value) {
  const AVClass* cc = avcodec_get_class();
  const AVClass* fc = avformat_get_class();
  const AVOption* o = opt_find(&cc, name.c_str(), nullptr, 0, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ);
  if (o) av_dict_set(&codec_opts, name.c_str(), value.c_str(), o->type == AV_OPT_TYPE_FLAGS ? AV_DICT_APPEND : 0);
  const AVOption* of = opt_find(&fc, name.c_str(), nullptr, 0, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ);
  if (of) av_dict_set(&format_opts, name.c_str(), value.c_str(), 0);
  // No encoder, decoder, muxer or demuxer has an option of that name: it
  // would change nothing, and the application hears so.
  if (!o && !of)
    av_log(nullptr, AV_LOG_WARNING, "Unrecognized option '%s': no encoder, muxer or demuxer takes it; ignored\n",
           name.c_str());
}

void TAVTranscoder::ApplyAdvancedOptions(const TStringList& list) {
  for (int i = 0; i < list.Count(); ++i) {
    const std::string& line = list[i];
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    opt_default(line.substr(0, eq), line.substr(eq + 1));
  }
}

void TAVTranscoder::ApplyTSScale() {
  for (const TTSScale* s : Opt.InputTSScale()) {
    if (!s) continue;
    if (s->StreamIndex() < 0 || s->StreamIndex() >= static_cast<int>(input_streams.size()))
      Fail(Format("Invalid timestamp scale stream index %d", s->StreamIndex()));
    input_streams[static_cast<size_t>(s->StreamIndex())]->ts_scale = s->Scale();
  }
}

void TAVTranscoder::CheckOptions() {
  const int pf = Opt.VideoOptions().FramePixFormat();
  if (pf != -1 && !av_pix_fmt_desc_get(static_cast<AVPixelFormat>(pf)))
    Fail(Format("Invalid pixel format %d", pf));
  const int sws = Opt.SwsFlags();
  // One scaling algorithm bit at least, and nothing beyond the flags libswscale knows.
  if ((sws & 0x7FF) == 0 || (sws & ~0x7FFFF) != 0) Fail(Format("Invalid scaler flags %d", sws));
}

// ---- inputs ----

void TAVTranscoder::open_input_file(int index) {
  const std::string& filename = C.InputFiles()[index];
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) Fail("Could not allocate the input context.");
  raw->interrupt_callback = FInputInterrupt;

  const AVInputFormat* file_iformat = nullptr;
  if (index < Opt.InputFormats().Count() && !Trim(Opt.InputFormats()[index]).empty()) {
    file_iformat = FindInputFormat(Trim(Opt.InputFormats()[index]));
    if (!file_iformat) {
      avformat_free_context(raw);
      Fail(Format("Unknow input format %s", Opt.InputFormats()[index].c_str()));
    }
  }

  // Output settings that describe raw input are offered only to a demuxer the
  // application forced and that takes them: an ordinary file's demuxer must
  // never be told a sample rate or picture size it does not have. An input
  // option the application gave itself always wins (a raw file's real
  // picture size differs from the output's whenever the scaler resizes).
  auto demuxer_has = [&](const char* name) {
    if (!file_iformat || !file_iformat->priv_class) return false;
    const AVClass* pc = file_iformat->priv_class;
    return av_opt_find(&pc, name, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
  };
  auto offer = [&](const char* name, const std::string& value) {
    if (demuxer_has(name)) av_dict_set(&format_opts, name, value.c_str(), AV_DICT_DONT_OVERWRITE);
  };
  const TAudioOptions& ao = Opt.AudioOptions();
  const TVideoOptions& vo = Opt.VideoOptions();
  if (ao.AudioSampleRate()) offer("sample_rate", std::to_string(ao.AudioSampleRate()));
  if (ao.AudioChannels()) offer("channels", std::to_string(ao.AudioChannels()));
  if (vo.InputFrameRate().num())
    offer("framerate", Format("%d/%d", vo.InputFrameRate().num(), vo.InputFrameRate().den()));
  if (vo.FrameWidth() > 0 && vo.FrameHeight() > 0)
    offer("video_size", Format("%dx%d", vo.FrameWidth(), vo.FrameHeight()));
  if (vo.FramePixFormat() != -1)
    offer("pixel_format", av_get_pix_fmt_name(static_cast<AVPixelFormat>(vo.FramePixFormat())));
  bool scan_all_pmts_set = false;
  if (!av_dict_get(format_opts.get(), "scan_all_pmts", nullptr, AV_DICT_MATCH_CASE)) {
    av_dict_set(&format_opts, "scan_all_pmts", "1", AV_DICT_DONT_OVERWRITE);
    scan_all_pmts_set = true;
  }

  int err;
  TUrlIOPtr io;
  {
    TCLocaleScope c_numbers;
    err = OpenInputUrl(&raw, filename, file_iformat, &format_opts, io);
  }
  if (err < 0) {
    // avformat_open_input frees the context on failure.
    format_opts.reset();
    codec_opts.reset();
    Fail(Format("Could not open file:%s error(%d)! %s", filename.c_str(), err, AVErrorString(err).c_str()));
  }
  AVInputContextPtr ic(raw);
  if (scan_all_pmts_set) av_dict_set(&format_opts, "scan_all_pmts", nullptr, AV_DICT_MATCH_CASE);
  format_opts.reset();

  if (ic->ctx_flags & AVFMTCTX_NOHEADER) {
    ic->probesize *= 10;
    ic->max_analyze_duration *= 10;
  }

  if (Opt.ProgramID()) {
    bool found = false;
    for (unsigned i = 0; i < ic->nb_streams; ++i) ic->streams[i]->discard = AVDISCARD_ALL;
    for (unsigned i = 0; i < ic->nb_programs; ++i) {
      AVProgram* p = ic->programs[i];
      if (p->id == Opt.ProgramID()) {
        found = true;
        for (unsigned j = 0; j < p->nb_stream_indexes; ++j)
          ic->streams[p->stream_index[j]]->discard = AVDISCARD_DEFAULT;
      } else {
        p->discard = AVDISCARD_ALL;
      }
    }
    if (!found) Fail("Specified program id not found");
  }

  {
    TStreamOptions opts = setup_find_stream_info_opts(ic.get(), codec_opts.get());
    const int ret = avformat_find_stream_info(ic.get(), opts.data());
    if (ret < 0 && ic->nb_streams == 0)
      Fail(Format("Could not find codec parameters:%d! %s", ret, AVErrorString(ret).c_str()));
    if (FInputAbort)
      Fail(Format("Could not open file:%s error(%d)! %s", filename.c_str(), AVERROR_EXIT,
                  AVErrorString(AVERROR_EXIT).c_str()));
  }

  int64_t timestamp = Opt.StartTime();
  if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
  if (Opt.StartTime() != 0 || Opt.ForceSeek()) {
    TempStartTime = Opt.StartTime();
    av_seek_frame(ic.get(), -1, timestamp, AVSEEK_FLAG_BACKWARD);
    TempStartTime = 0;
  }
  if (ic->duration != AV_NOPTS_VALUE && ic->duration > 0) {
    std::lock_guard<std::mutex> lock(C.FFigureLock);
    // With several inputs the longest sets the length.
    C.FDuration = std::max(C.FDuration, static_cast<double>(ic->duration) / AV_TIME_BASE);
  }

  const int nb = static_cast<int>(ic->nb_streams);
  auto f = std::make_unique<InputFile>();
  f->ist_index = static_cast<int>(input_streams.size());
  f->ts_offset = Opt.InputTSOffset() - timestamp;
  f->nb_streams = nb;
  f->rate_emu = Opt.RateEmu();
  f->recording_time = Opt.RecordingTime() == 0 ? INT64_MAX : Opt.RecordingTime();
  AVFormatContext* ctx = ic.get();
  f->io = std::move(io);
  f->ctx = std::move(ic);
  input_files.push_back(std::move(f));
  add_input_streams(ctx, index);
  {
    const int64_t size = ctx->pb ? avio_size(ctx->pb) : -1;
    FSourceSizes.push_back(size > 0 ? size : 0);
    // The converter's copy is read by GetSourceFileSize on other threads.
    std::lock_guard<std::mutex> lock(C.FFigureLock);
    C.FSourceSizes.push_back(FSourceSizes.back());
  }
  // The free input options reach this file only.
  codec_opts.reset();
  format_opts.reset();
}

void TAVTranscoder::add_input_streams(AVFormatContext* ic, int file_index) {
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* st = ic->streams[i];
    AVCodecParameters* par = st->codecpar;
    auto ist = std::make_unique<InputStream>();
    ist->st = st;
    ist->file_index = file_index;
    ist->discard = true;
    ist->ts_scale = 1.0;
    st->discard = AVDISCARD_ALL;
    // Every stream is decoded by the decoder of its own codec (a subtitle
    // encoder's name says nothing about how the input is coded).
    ist->dec = avcodec_find_decoder(par->codec_id);
    ist->decoder_opts.reset(filter_codec_opts(codec_opts.get(), par->codec_id, 0));
    ist->filter_in_rescale_delta_last = AV_NOPTS_VALUE;
    AVCodecContext* dc = avcodec_alloc_context3(ist->dec);
    if (!dc) Fail("Error allocating the decoder context.");
    ist->dec_ctx.reset(dc);
    if (avcodec_parameters_to_context(dc, par) < 0) Fail("Error initializing the decoder context.");
    dc->pkt_timebase = st->time_base;
    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        ist->resample_width = dc->width;
        ist->resample_height = dc->height;
        ist->resample_pix_fmt = dc->pix_fmt;
        ist->top_field_first = -1;
        break;
      case AVMEDIA_TYPE_AUDIO:
        if (dc->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC && dc->ch_layout.nb_channels > 0) {
          const int n = dc->ch_layout.nb_channels;
          av_channel_layout_uninit(&dc->ch_layout);
          av_channel_layout_default(&dc->ch_layout, n);
        }
        ist->resample_sample_fmt = dc->sample_fmt;
        ist->resample_sample_rate = dc->sample_rate;
        ist->resample_channels = dc->ch_layout.nb_channels;
        av_channel_layout_copy(&ist->resample_ch_layout, &dc->ch_layout);
        break;
      default:
        break;
    }
    input_streams.push_back(std::move(ist));
  }
}

void TAVTranscoder::init_input_stream(int index) {
  InputStream& ist = *input_streams[static_cast<size_t>(index)];
  if (ist.decoding_needed) {
    if (!ist.dec) Fail("Decoder not found for input stream");
    if (ist.dec->id == AV_CODEC_ID_DVB_SUBTITLE && (ist.decoding_needed & DECODING_FOR_OST))
      av_dict_set(&ist.decoder_opts, "compute_edt", "1", AV_DICT_DONT_OVERWRITE);
    if (!av_dict_get(ist.decoder_opts.get(), "threads", nullptr, 0))
      av_dict_set(&ist.decoder_opts, "threads", "auto", 0);
    int ret;
    {
      std::lock_guard<std::mutex> lock(AVMutex());
      TCLocaleScope c_numbers;
      ret = avcodec_open2(ist.dec_ctx.get(), ist.dec, &ist.decoder_opts);
    }
    if (ret < 0) Fail("Error while opening decoder for input stream");
  }
  ist.next_pts = AV_NOPTS_VALUE;
  ist.next_dts = AV_NOPTS_VALUE;
}

InputStream* TAVTranscoder::get_input_stream(const OutputStream& ost) {
  if (ost.source_index >= 0 && ost.source_index < static_cast<int>(input_streams.size()))
    return input_streams[static_cast<size_t>(ost.source_index)].get();
  return nullptr;
}

int64_t TAVTranscoder::SourceFileSize(int index) const {
  if (index < 0 || index >= static_cast<int>(FSourceSizes.size())) return 0;
  return FSourceSizes[static_cast<size_t>(index)];
}

// ---- reader threads ----

void TAVTranscoder::init_input_threads() {
  if (input_files.size() < 2) return;
  for (auto& fp : input_files) {
    InputFile& f = *fp;
    AVFormatContext* ctx = f.ctx.get();
    // A live input that has nothing yet must not hold up the others.
    f.non_blocking = (!ctx->pb && strcmp(ctx->iformat->name, "lavfi") != 0) ||
                     (ctx->pb && !(ctx->pb->seekable & AVIO_SEEKABLE_NORMAL)) || Opt.LiveInputs();
    AVThreadMessageQueue* q = nullptr;
    if (av_thread_message_queue_alloc(&q, 16, sizeof(AVPacket*)) < 0)
      Fail("Could not allocate the input queue.");
    f.in_thread_queue.reset(q);
    InputFile* fptr = &f;
    try {
      f.thread = std::thread([fptr]() noexcept {
        AVThreadMessageQueue* queue = fptr->in_thread_queue.get();
        int flags = fptr->non_blocking ? AV_THREAD_MESSAGE_NONBLOCK : 0;
        for (;;) {
          AVPacket* pkt = av_packet_alloc();
          if (!pkt) {
            av_thread_message_queue_set_err_recv(queue, AVERROR(ENOMEM));
            return;
          }
          int ret = ReadInputFrame(fptr->ctx.get(), fptr->io.get(), pkt);
          if (ret == AVERROR(EAGAIN)) {
            av_packet_free(&pkt);
            av_usleep(10000);
            continue;
          }
          if (ret < 0) {
            av_packet_free(&pkt);
            av_thread_message_queue_set_err_recv(queue, ret);
            return;
          }
          ret = av_thread_message_queue_send(queue, &pkt, flags);
          if (flags && ret == AVERROR(EAGAIN)) {
            flags = 0;
            ret = av_thread_message_queue_send(queue, &pkt, flags);
          }
          if (ret < 0) {
            av_packet_free(&pkt);
            av_thread_message_queue_set_err_recv(queue, ret);
            return;
          }
        }
      });
    } catch (const std::exception&) {
      Fail("Could not start the input reader thread.");
    }
    FThreadsStarted = true;
  }
}

void TAVTranscoder::free_input_threads() {
  bool threads = false;
  for (auto& fp : input_files) threads = threads || fp->thread.joinable();
  // Wake readers blocked in a read; nothing is read after this point.
  if (threads) FReadersDone = true;
  for (auto& fp : input_files) {
    InputFile& f = *fp;
    if (!f.in_thread_queue) continue;
    av_thread_message_queue_set_err_send(f.in_thread_queue.get(), AVERROR_EOF);
    AVPacket* pkt = nullptr;
    while (av_thread_message_queue_recv(f.in_thread_queue.get(), &pkt, 0) >= 0) av_packet_free(&pkt);
    if (f.thread.joinable()) f.thread.join();
    f.joined = true;
    // Packets the reader sent between the drain and its end.
    while (av_thread_message_queue_recv(f.in_thread_queue.get(), &pkt, AV_THREAD_MESSAGE_NONBLOCK) >= 0)
      av_packet_free(&pkt);
    f.in_thread_queue.reset();
  }
}

int TAVTranscoder::get_input_packet(InputFile& f, AVPacket* pkt) {
  if (f.rate_emu) {
    for (int i = 0; i < f.nb_streams; ++i) {
      InputStream& ist = *input_streams[static_cast<size_t>(f.ist_index + i)];
      const int64_t pts = av_rescale(ist.dts, 1000000, AV_TIME_BASE);
      const int64_t now = av_gettime_relative() - ist.start;
      if (pts > now) return AVERROR(EAGAIN);
    }
  }
  int ret;
  if (f.in_thread_queue) {
    AVPacket* queued = nullptr;
    ret = av_thread_message_queue_recv(f.in_thread_queue.get(), &queued,
                                       f.non_blocking ? AV_THREAD_MESSAGE_NONBLOCK : 0);
    if (ret < 0) return ret;
    av_packet_move_ref(pkt, queued);
    av_packet_free(&queued);
  } else {
    ret = ReadInputFrame(f.ctx.get(), f.io.get(), pkt);
    if (ret < 0) return ret;
  }
  if (f.rate_emu && !f.rate_emu_started) {
    // Native-rate reading counts from the first packet, at that packet's
    // time: a live input stamped when it is read (a captured bitmap) then
    // keeps its own pace, however long the set-up after its open took.
    f.rate_emu_started = true;
    int64_t first = 0;
    if (pkt->dts != AV_NOPTS_VALUE && pkt->stream_index >= 0 &&
        pkt->stream_index < static_cast<int>(f.ctx->nb_streams))
      first = av_rescale_q(pkt->dts, f.ctx->streams[pkt->stream_index]->time_base, AV_TIME_BASE_Q) + f.ts_offset;
    const int64_t start = av_gettime_relative() - std::max<int64_t>(first, 0);
    for (int i = 0; i < f.nb_streams; ++i) input_streams[static_cast<size_t>(f.ist_index + i)]->start = start;
  }
  return 0;
}

}  // namespace kivora
