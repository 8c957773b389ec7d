// The decoding half of the player's sound: the decoder of the selected audio
// stream, the audio filter graph that ends in the volume filter, and the
// resampler to the mixer's fixed output format. audio_decode_frame runs on the
// sound thread, inside the mixer effect, and never waits for packets.
#include <algorithm>
#include <clocale>
#include <cmath>
#include <charconv>
#include <cstring>
#include <exception>
#include <locale.h>

#include "kivora/platform/exception.h"
#include "kivora/player/audio/audio_format.h"
#include "kivora/player/audio/mixer.h"
#include "kivora/player/filtergraph.h"
#include "kivora/player/decoder.h"
#include "kivora/player/player_impl.h"
#include "kivora/player/movie.h"
#include "kivora/runtime/clocale.h"
#include "kivora/runtime/cmdutils.h"

namespace kivora {

// ---- format helpers ----

bool cmp_audio_fmts(AVSampleFormat fmt1, int64_t channel_count1, AVSampleFormat fmt2, int64_t channel_count2) {
  if (channel_count1 == 1 && channel_count2 == 1)
    return av_get_packed_sample_fmt(fmt1) != av_get_packed_sample_fmt(fmt2);
  return channel_count1 != channel_count2 || fmt1 != fmt2;
}

int64_t get_valid_channel_layout(int64_t channel_layout, int channels) {
  if (channel_layout && __builtin_popcountll(static_cast<uint64_t>(channel_layout)) == channels)
    return channel_layout;
  return 0;
}

int64_t ChannelLayoutMask(const AVChannelLayout& layout) {
  return layout.order == AV_CHANNEL_ORDER_NATIVE ? static_cast<int64_t>(layout.u.mask) : 0;
}

void MakeChannelLayout(AVChannelLayout* out, int64_t mask, int channels) {
  if (get_valid_channel_layout(mask, channels) && av_channel_layout_from_mask(out, static_cast<uint64_t>(mask)) == 0)
    return;
  av_channel_layout_default(out, channels);
}

std::string DescribeChannelLayout(const AVChannelLayout& layout) {
  char buf[128] = {};
  if (av_channel_layout_describe(&layout, buf, sizeof buf) < 0) return {};
  return buf;
}

std::string FormatVolume(double volume) {
  // std::to_chars never looks at the locale; precision 6 is what "%f" gives.
  char buf[400];
  const auto res = std::to_chars(buf, buf + sizeof buf - 1, volume, std::chars_format::fixed, 6);
  if (res.ec != std::errc()) return "0.000000";
  return std::string(buf, res.ptr).substr(0, 255);
}

// ---- properties ----

std::string TAVPlayer::Impl::AudioFilters() const {
  std::lock_guard<std::mutex> lock(FFilterLock);
  return FAudioFilters;
}

void TAVPlayer::Impl::SetAudioFilters(const std::string& v) {
  std::lock_guard<std::mutex> lock(FFilterLock);
  if (v == FAudioFilters) return;
  FAudioFilters = v;
  FAudioFiltersChanged = true;
}

void TAVPlayer::Impl::SetVolume(double v) {
  // The sound thread hands the new gain to the running volume filter before
  // it takes the next filtered frame (apply_audio_volume), so the graph is
  // only ever touched by the thread that runs it.
  FVolume = v;
}

void TAVPlayer::Impl::apply_audio_volume() {
  AVFilterContext* vol = FVolumeCtx.load();
  const double v = FVolume.load();
  if (!vol || v == FM->audio_volume_applied) return;
  FM->audio_volume_applied = v;  // also on failure: one report, not one per frame
  const std::string text = FormatVolume(v);
  TCLocaleScope numbers;
  const int ret = avfilter_process_command(vol, "volume", text.c_str(), nullptr, 0, 0);
  if (ret < 0) DoLog(AV_LOG_WARNING, "volume " + text + ": " + AVErrorString(ret));
}

// ---- opening and closing ----

bool TAVPlayer::Impl::InitAudio() {
  FAudioStreamChanged = false;
  const int index = GetAudioStream();
  if (!FM->FIc || index < 0 || index >= static_cast<int>(FM->FIc->nb_streams)) return false;
  FM->FAudioStream = FM->FIc->streams[index];

  if (FM->FAudioPkt) av_packet_unref(FM->FAudioPkt);
  FM->audio_pkt_temp_valid = false;
  FM->audio_pkt_unsent = false;
  AVCodecContextPtr ctx = OpenStreamDecoder(FM->FAudioStream, FM->codec_opts.get(), FThreadCount);
  if (!ctx) return false;
  FM->FAudioCodecCtx = std::move(ctx);

  const int channels = FM->FAudioCodecCtx->ch_layout.nb_channels;
  FM->audio_filter_src.freq = FM->FAudioCodecCtx->sample_rate;
  FM->audio_filter_src.channels = channels;
  FM->audio_filter_src.channel_layout =
      get_valid_channel_layout(ChannelLayoutMask(FM->FAudioCodecCtx->ch_layout), channels);
  FM->audio_filter_src.fmt = FM->FAudioCodecCtx->sample_fmt;
  FM->audio_filter_failed = false;

  if (configure_audio_filters(false) < 0) return false;

  audio_open();  // also sets audio_src to the output format
  FAudioQ->Start();
  FAudioStreamChanged = false;
  return true;
}

void TAVPlayer::Impl::FreeSwrCtx() { swr_free(&FM->FSwrCtx); }

void TAVPlayer::Impl::FreeAudioCtx() {
  // Always release the mixer channel, even for a stream that failed half-way
  // through opening: an effect left registered would call into a dead player.
  // A failure to unregister is reported after everything else is released.
  std::exception_ptr close_error;
  try {
    CloseAudio();
  } catch (...) {
    close_error = std::current_exception();
  }
  if (FAudioQ) FAudioQ->Flush();
  if (FM->FAudioStream) FM->FAudioStream->discard = AVDISCARD_ALL;
  FM->FAudioCodecCtx.reset();
  FM->FAudioStream = nullptr;
  FAudioStreamIndex = -1;
  // Nothing runs on the sound thread for this player any more.
  if (FM->FAudioPkt) av_packet_free(&FM->FAudioPkt);
  FM->audio_pkt_temp_valid = false;
  FM->audio_pkt_unsent = false;
  FM->audio_buf_frames_pending = false;
  FM->FAudioBuf = nullptr;
  FM->FAudioBufSize = 0;
  FM->audio_buf_index = 0;
  if (close_error) std::rethrow_exception(close_error);
}

void TAVPlayer::Impl::DestroyAudioFilterGraph() {
  avfilter_graph_free(&FM->agraph);
  FM->in_audio_filter = nullptr;
  FM->out_audio_filter = nullptr;
  FVolumeCtx = nullptr;
}

// ---- filter graph ----

int TAVPlayer::Impl::configure_audio_filters(bool force_output_format) {
  static const int sample_fmts[] = {AV_SAMPLE_FMT_S16, -1};
  TCLocaleScope numbers;

  DestroyAudioFilterGraph();
  FM->agraph = avfilter_graph_alloc();
  if (!FM->agraph) return AVERROR(ENOMEM);

  // The source is told the layout the decoded frames will carry: the known
  // mask, or the default layout for the channel count, which is also what
  // audio_decode_frame gives frames that come without a usable layout.
  AVChannelLayout src_layout{};
  MakeChannelLayout(&src_layout, FM->audio_filter_src.channel_layout, FM->audio_filter_src.channels);
  const std::string layout_text = DescribeChannelLayout(src_layout);
  av_channel_layout_uninit(&src_layout);
  const char* fmt_name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(FM->audio_filter_src.fmt));
  char asrc_args[256];
  snprintf(asrc_args, sizeof asrc_args, "sample_rate=%d:sample_fmt=%s:time_base=%d/%d:channel_layout=%s",
           FM->audio_filter_src.freq, fmt_name ? fmt_name : "none", 1, FM->audio_filter_src.freq, layout_text.c_str());

  AVFilterContext* filt_asrc = nullptr;
  AVFilterContext* filt_asink = nullptr;
  if (avfilter_graph_create_filter(&filt_asrc, avfilter_get_by_name("abuffer"), "ffplay_abuffer", asrc_args,
                                   nullptr, FM->agraph) < 0)
    throw Exception("Can not create filter");
  if (avfilter_graph_create_filter(&filt_asink, avfilter_get_by_name("abuffersink"), "ffplay_abuffersink", nullptr,
                                   nullptr, FM->agraph) < 0)
    throw Exception("Can not create filter");
  if (opt_set_int_list(filt_asink, "sample_fmts", AV_OPT_SEARCH_CHILDREN, static_cast<uint64_t>(-1), 4,
                          sample_fmts) < 0)
    throw Exception("Can not create filter");
  if (av_opt_set_int(filt_asink, "all_channel_counts", 1, AV_OPT_SEARCH_CHILDREN) < 0)
    throw Exception("Can not create filter");
  if (force_output_format) {
    AVChannelLayout tgt_layout{};
    MakeChannelLayout(&tgt_layout, FM->audio_tgt.channel_layout, FM->audio_tgt.channels);
    const std::string tgt_text = DescribeChannelLayout(tgt_layout);
    av_channel_layout_uninit(&tgt_layout);
    const int sample_rates[] = {FM->audio_tgt.freq, -1};
    if (av_opt_set_int(filt_asink, "all_channel_counts", 0, AV_OPT_SEARCH_CHILDREN) < 0)
      throw Exception("Can not create filter");
    if (av_opt_set(filt_asink, "ch_layouts", tgt_text.c_str(), AV_OPT_SEARCH_CHILDREN) < 0)
      throw Exception("Can not create filter");
    if (opt_set_int_list(filt_asink, "sample_rates", AV_OPT_SEARCH_CHILDREN, static_cast<uint64_t>(-1), 4,
                            sample_rates) < 0)
      throw Exception("Can not create filter");
  }

  const double volume = FVolume.load();
  const std::string volume_text = FormatVolume(volume);
  AVFilterContext* filt_volume = nullptr;
  if (avfilter_graph_create_filter(&filt_volume, avfilter_get_by_name("volume"), "volume_filter",
                                   volume_text.c_str(), nullptr, FM->agraph) < 0)
    throw Exception("Can not create volume filter");
  if (avfilter_link(filt_volume, 0, filt_asink, 0) < 0) throw Exception("Can not link volume filter");
  FVolumeCtx = filt_volume;
  FM->audio_volume_applied = volume;

  const int ret = configure_filtergraph(FM->agraph, AudioFilters(), filt_asrc, filt_volume);
  FM->in_audio_filter = filt_asrc;
  FM->out_audio_filter = filt_asink;
  return ret;
}

// ---- decoding ----

// One decoded frame into FAudioFrame: 0 with a frame, AVERROR(EAGAIN) when the
// packet in hand is used up, AVERROR_EOF when the decoder is drained, another
// negative code on a decode error.
int TAVPlayer::Impl::audio_receive_frame() {
  AVCodecContext* ctx = FM->FAudioCodecCtx.get();
  for (;;) {
    int ret = avcodec_receive_frame(ctx, FM->FAudioFrame);
    if (ret != AVERROR(EAGAIN) || !FM->audio_pkt_unsent) return ret;
    // The decoder wants input: hand it the packet in hand (an empty packet
    // asks it to drain).
    const bool drain = !FM->FAudioPkt->data && FM->FAudioPkt->size == 0 && !FM->FAudioPkt->side_data_elems;
    ret = avcodec_send_packet(ctx, drain ? nullptr : FM->FAudioPkt);
    if (ret == AVERROR(EAGAIN)) return AVERROR_BUG;  // wants output and input at once: give up the packet
    FM->audio_pkt_unsent = false;
    if (ret == AVERROR_EOF) return AVERROR_EOF;
    if (ret < 0) return ret;
  }
}

// A step's sound is one frame: the step ends once that frame is decoded, so
// the pause it may lead to cannot keep the frame itself from being heard.
void TAVPlayer::Impl::StepDone() {
  if (FStep != 0 && !FPaused) CheckStep(true, FM->audio_pkt_temp_serial);
}

int TAVPlayer::Impl::audio_decode_frame() {
  for (;;) {
    // Decode phase: frames come from the packet in hand or from the graph.
    while (FM->audio_pkt_temp_valid || FM->audio_buf_frames_pending) {
      if (!FM->FAudioFrame) {
        FM->FAudioFrame = av_frame_alloc();
        if (!FM->FAudioFrame) return AVERROR(ENOMEM);
      } else {
        av_frame_unref(FM->FAudioFrame);
      }
      if (FAudioQ->Serial() != FM->audio_pkt_temp_serial) break;  // a seek made this data obsolete
      if (FPaused) return -1;

      if (!FM->audio_buf_frames_pending) {
        const int got = audio_receive_frame();
        if (got == AVERROR(EAGAIN)) {  // the packet is used up
          FM->audio_pkt_temp_valid = false;
          continue;
        }
        if (got == AVERROR_EOF) {  // drained: ready for new input after a flush
          FM->audio_finished = FM->audio_pkt_temp_serial;
          avcodec_flush_buffers(FM->FAudioCodecCtx.get());
          FM->audio_pkt_temp_valid = false;
          continue;
        }
        if (got < 0) {  // decode error: drop the rest of the packet
          FM->audio_pkt_temp_valid = false;
          break;
        }
        // A corrupt frame without a rate or channels cannot be timed or
        // converted (every sample count below divides by the rate): skip it.
        if (FM->FAudioFrame->sample_rate <= 0 || FM->FAudioFrame->ch_layout.nb_channels <= 0) {
          av_frame_unref(FM->FAudioFrame);
          continue;
        }
        const int frame_channels = FM->FAudioFrame->ch_layout.nb_channels;
        if (!ChannelLayoutMask(FM->FAudioFrame->ch_layout)) {
          av_channel_layout_uninit(&FM->FAudioFrame->ch_layout);
          av_channel_layout_default(&FM->FAudioFrame->ch_layout, frame_channels);
        }

        const AVRational tb{1, FM->FAudioFrame->sample_rate};
        if (FM->FAudioFrame->pts != AV_NOPTS_VALUE)
          FM->FAudioFrame->pts = av_rescale_q(FM->FAudioFrame->pts, FM->FAudioCodecCtx->pkt_timebase, tb);
        else if (FM->audio_frame_next_pts != AV_NOPTS_VALUE && FM->audio_filter_src.freq > 0)
          FM->FAudioFrame->pts = av_rescale_q(FM->audio_frame_next_pts, AVRational{1, FM->audio_filter_src.freq}, tb);
        if (FM->FAudioFrame->pts != AV_NOPTS_VALUE) FM->audio_frame_next_pts = FM->FAudioFrame->pts + FM->FAudioFrame->nb_samples;

        const int64_t dec_channel_layout =
            get_valid_channel_layout(ChannelLayoutMask(FM->FAudioFrame->ch_layout), frame_channels);
        const bool changed =
            cmp_audio_fmts(static_cast<AVSampleFormat>(FM->audio_filter_src.fmt), FM->audio_filter_src.channels,
                           static_cast<AVSampleFormat>(FM->FAudioFrame->format), frame_channels) ||
            FM->audio_filter_src.channel_layout != dec_channel_layout || FM->audio_filter_src.freq != FM->FAudioFrame->sample_rate;
        if (changed || FAudioFiltersChanged || (!FM->in_audio_filter && !FM->audio_filter_failed)) {
          FAudioFiltersChanged = false;
          FM->audio_filter_src.fmt = FM->FAudioFrame->format;
          FM->audio_filter_src.channels = frame_channels;
          FM->audio_filter_src.channel_layout = dec_channel_layout;
          FM->audio_filter_src.freq = FM->FAudioFrame->sample_rate;
          FM->audio_last_serial = FM->audio_pkt_temp_serial;
          // A failed build leaves no graph; it is retried only when the input
          // format or AudioFilters change again, so a bad filter text is
          // reported once and plays silence instead of flooding the log.
          FM->audio_filter_failed = true;
          int ret;
          try {
            ret = configure_audio_filters(true);
          } catch (const std::exception& e) {
            DoLog(AV_LOG_ERROR, e.what());
            ret = -1;
          }
          if (ret < 0) throw Exception("error configure audio filter");
          // FAudioFiltersChanged is not cleared again here: a text set while
          // the graph was being built must still lead to a rebuild.
          FM->audio_filter_failed = false;
        }
        if (!FM->in_audio_filter) {
          // No usable graph: the frame's time plays as silence, so the audio
          // clock, and the picture following it, keep their pace.
          const int out_count =
              static_cast<int>(static_cast<int64_t>(FM->FAudioFrame->nb_samples) * FM->audio_tgt.freq / FM->FAudioFrame->sample_rate);
          const int out_size = out_count * FM->audio_tgt.frame_size;
          av_fast_malloc(&FM->FAudioBuf1, &FM->audio_buf1_size, static_cast<size_t>(std::max(out_size, 1)));
          if (!FM->FAudioBuf1 || out_size <= 0) continue;
          std::memset(FM->FAudioBuf1, 0, static_cast<size_t>(out_size));
          FM->FAudioBuf = FM->FAudioBuf1;
          FM->audio_clock = FM->FAudioFrame->pts != AV_NOPTS_VALUE
                            ? static_cast<double>(FM->FAudioFrame->pts + FM->FAudioFrame->nb_samples) / FM->FAudioFrame->sample_rate
                            : NAN;
          FM->audio_clock_serial = FM->audio_pkt_temp_serial;
          StepDone();
          return out_size;
        }
        if (av_buffersrc_add_frame(FM->in_audio_filter, FM->FAudioFrame) < 0)
          throw Exception("error add audio frame " + LastErrorMessage());
      }

      apply_audio_volume();
      const int r = av_buffersink_get_frame_flags(FM->out_audio_filter, FM->FAudioFrame, 0);
      if (r < 0) {
        if (r == AVERROR(EAGAIN)) {
          FM->audio_buf_frames_pending = false;
          continue;
        }
        if (r == AVERROR_EOF) FM->audio_finished = FM->audio_pkt_temp_serial;
        return r;
      }
      FM->audio_buf_frames_pending = true;
      const AVRational tb = av_buffersink_get_time_base(FM->out_audio_filter);

      AVFrame* f = FM->FAudioFrame;
      const int channels = f->ch_layout.nb_channels;
      const int data_size = av_samples_get_buffer_size(nullptr, channels, f->nb_samples,
                                                       static_cast<AVSampleFormat>(f->format), 1);
      AVChannelLayout dec_layout{};
      if (get_valid_channel_layout(ChannelLayoutMask(f->ch_layout), channels))
        av_channel_layout_copy(&dec_layout, &f->ch_layout);
      else
        av_channel_layout_default(&dec_layout, channels);
      const int64_t dec_channel_layout = ChannelLayoutMask(dec_layout);

      const int wanted_nb_samples = synchronize_audio(f->nb_samples);

      if (f->format != FM->audio_src.fmt || dec_channel_layout != FM->audio_src.channel_layout ||
          channels != FM->audio_src.channels || f->sample_rate != FM->audio_src.freq) {
        swr_free(&FM->FSwrCtx);
        AVChannelLayout tgt_layout{};
        MakeChannelLayout(&tgt_layout, FM->audio_tgt.channel_layout, FM->audio_tgt.channels);
        const int ret = swr_alloc_set_opts2(&FM->FSwrCtx, &tgt_layout, static_cast<AVSampleFormat>(FM->audio_tgt.fmt),
                                            FM->audio_tgt.freq, &dec_layout, static_cast<AVSampleFormat>(f->format),
                                            f->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&tgt_layout);
        if (ret < 0 || !FM->FSwrCtx || swr_init(FM->FSwrCtx) < 0) {
          swr_free(&FM->FSwrCtx);
          av_channel_layout_uninit(&dec_layout);
          break;
        }
        FM->audio_src.channel_layout = dec_channel_layout;
        FM->audio_src.channels = channels;
        FM->audio_src.freq = f->sample_rate;
        FM->audio_src.fmt = f->format;
      }
      av_channel_layout_uninit(&dec_layout);

      int resampled_data_size;
      if (!FM->FSwrCtx) {
        if (data_size < 0) break;
        FM->FAudioBuf = f->data[0];
        resampled_data_size = data_size;
      } else {
        const int out_count =
            static_cast<int>(static_cast<int64_t>(wanted_nb_samples) * FM->audio_tgt.freq / f->sample_rate + 256);
        const int out_size = av_samples_get_buffer_size(nullptr, FM->audio_tgt.channels, out_count,
                                                        static_cast<AVSampleFormat>(FM->audio_tgt.fmt), 0);
        if (out_size < 0) break;
        if (wanted_nb_samples != f->nb_samples) {
          if (swr_set_compensation(FM->FSwrCtx, (wanted_nb_samples - f->nb_samples) * FM->audio_tgt.freq / f->sample_rate,
                                   wanted_nb_samples * FM->audio_tgt.freq / f->sample_rate) < 0)
            break;
        }
        av_fast_malloc(&FM->FAudioBuf1, &FM->audio_buf1_size, static_cast<size_t>(out_size));
        if (!FM->FAudioBuf1) break;
        uint8_t* out[] = {FM->FAudioBuf1};
        const int len2 = swr_convert(FM->FSwrCtx, out, out_count, const_cast<const uint8_t**>(f->extended_data),
                                     f->nb_samples);
        if (len2 < 0) break;
        if (len2 == out_count) swr_init(FM->FSwrCtx);  // output was cut short: start the resampler afresh
        FM->FAudioBuf = FM->FAudioBuf1;
        resampled_data_size =
            len2 * FM->audio_tgt.channels * av_get_bytes_per_sample(static_cast<AVSampleFormat>(FM->audio_tgt.fmt));
      }

      FM->audio_clock = f->pts != AV_NOPTS_VALUE
                        ? f->pts * av_q2d(tb) + static_cast<double>(f->nb_samples) / f->sample_rate
                        : NAN;
      FM->audio_clock_serial = FM->audio_pkt_temp_serial;
      StepDone();
      return resampled_data_size;
    }

    // Next-packet phase.
    if (FM->FAudioPkt) av_packet_unref(FM->FAudioPkt);
    FM->audio_pkt_temp_valid = false;
    FM->audio_pkt_unsent = false;
    if (!FAudioQ || !FM->FAudioPkt || FAudioQ->Aborted() || FAbortRequest) return -1;
    if (FAudioQ->NbPackets() == 0) ReadSignal();
    int serial = 0;
    if (FAudioQ->Get(FM->FAudioPkt, false, &serial) < 0) return -1;
    FM->audio_pkt_temp_serial = serial;
    if (serial != FAudioQ->Serial()) continue;  // queued before a seek: a newer flush marker follows

    if (FAudioQ->IsEofPkt(FM->FAudioPkt)) {
      av_packet_unref(FM->FAudioPkt);
      DoPlaybackFinished();
      continue;
    }
    if (FAudioQ->IsFlushPkt(FM->FAudioPkt)) {
      av_packet_unref(FM->FAudioPkt);
      avcodec_flush_buffers(FM->FAudioCodecCtx.get());
      FM->audio_decoder_serial = serial;
      FM->audio_buf_frames_pending = false;
      FM->audio_frame_next_pts = AV_NOPTS_VALUE;
      if (FM->FIc && FM->FAudioStream && (FM->FIc->iformat->flags & (AVFMT_NOBINSEARCH | AVFMT_NOGENSEARCH | AVFMT_NO_BYTE_SEEK)) &&
          !FM->FIc->iformat->read_seek)
        FM->audio_frame_next_pts = FM->FAudioStream->start_time;
      continue;
    }
    FM->audio_pkt_temp_valid = true;
    FM->audio_pkt_unsent = true;
  }
}

}  // namespace kivora
