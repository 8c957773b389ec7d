// The transcoding loop: each step feeds the output that is furthest behind,
// reading one packet from its input (or asking its filter graph for more),
// fixing the packet's timestamps, decoding it into the filter graphs or
// copying it, then draining the graphs into the encoders.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "kivora/converter/transcoder.h"
#include "kivora/platform/exception.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/runtime/utils.h"

namespace kivora {

namespace {

constexpr int64_t dts_delta_threshold = 10;
constexpr int64_t dts_error_threshold = 3600 * 30;

int decode(AVCodecContext* avctx, AVFrame* frame, bool& got_frame, const AVPacket* pkt) {
  got_frame = false;
  if (pkt) {
    const int ret = avcodec_send_packet(avctx, pkt);
    if (ret < 0 && ret != AVERROR_EOF) return ret;
  }
  const int ret = avcodec_receive_frame(avctx, frame);
  if (ret < 0 && ret != AVERROR(EAGAIN)) return ret;
  if (ret >= 0) got_frame = true;
  return 0;
}

}  // namespace

bool TAVTranscoder::check_output_constraints(const InputStream& ist, const OutputStream& ost) const {
  if (ost.source_index < 0 || input_streams[static_cast<size_t>(ost.source_index)].get() != &ist) return false;
  if (ost.finished & MUXER_FINISHED) return false;
  return true;
}

void TAVTranscoder::close_output_stream(OutputStream& ost) { ost.finished |= ENCODER_FINISHED; }

void TAVTranscoder::finish_output_stream(OutputStream& ost) { ost.finished = ENCODER_FINISHED | MUXER_FINISHED; }

bool TAVTranscoder::check_recording_time(OutputStream& ost) {
  const OutputFile& of = *output_files[static_cast<size_t>(ost.file_index)];
  if (of.recording_time != INT64_MAX) {
    const int64_t first = ost.first_pts == AV_NOPTS_VALUE ? 0 : ost.first_pts;
    if (av_compare_ts(ost.sync_opts - first, ost.enc_ctx->time_base, of.recording_time, AV_TIME_BASE_Q) >= 0) {
      close_output_stream(ost);
      return false;
    }
  }
  return true;
}

double TAVTranscoder::get_current_pts(const OutputStream& ost) const {
  if (ost.sync_ist) return static_cast<double>(ost.sync_ist->pts - TempStartTime) / AV_TIME_BASE;
  if (ost.last_mux_dts == AV_NOPTS_VALUE || !ost.st->time_base.den) return 0;
  return static_cast<double>(ost.last_mux_dts) * av_q2d(ost.st->time_base);
}

bool TAVTranscoder::need_output() {
  for (auto& ostp : output_streams) {
    OutputStream& ost = *ostp;
    OutputFile& of = *output_files[static_cast<size_t>(ost.file_index)];
    if (ost.finished) continue;
    if (of.ctx->pb && avio_tell(of.ctx->pb) >= of.limit_filesize) {
      // A full file takes nothing more: its streams are done.
      of.limit_reached = true;
      for (auto& o : output_streams)
        if (o->file_index == ost.file_index) finish_output_stream(*o);
      continue;
    }
    if (ost.frame_number >= ost.max_frames) {
      // The limit is the pictures': the other streams go on, as they do
      // when the pictures are encoded.
      close_output_stream(ost);
      ost.finished |= MUXER_FINISHED;
      continue;
    }
    return true;
  }
  return false;
}

OutputStream* TAVTranscoder::Choose_output() {
  int64_t opts_min = INT64_MAX;
  OutputStream* best = nullptr;
  for (auto& ostp : output_streams) {
    OutputStream& ost = *ostp;
    if (ost.finished) continue;
    const int64_t opts = ost.last_mux_dts == AV_NOPTS_VALUE
                             ? INT64_MIN
                             : av_rescale_q(ost.last_mux_dts, ost.st->time_base, AV_TIME_BASE_Q);
    // Until a stream has muxed its first packet there is no time to compare
    // by: the one fed fewest frames goes first. Otherwise an encoder that
    // holds pictures back (a look-ahead) keeps every other stream unread,
    // and a live input's sound waits in its queue or is lost.
    const bool fewer = best && opts == INT64_MIN && opts_min == INT64_MIN && ost.frame_number < best->frame_number;
    if (!best || opts < opts_min || fewer) {
      opts_min = opts;
      best = &ost;
    }
  }
  if (best && best->unavailable) return nullptr;
  return best;
}

bool TAVTranscoder::got_eagain() const {
  for (auto& ost : output_streams)
    if (ost->unavailable) return true;
  return false;
}

void TAVTranscoder::reset_eagain() {
  for (auto& f : input_files) f->eagain = false;
  for (auto& ost : output_streams) ost->unavailable = false;
}

int TAVTranscoder::transcode_step_live() {
  // Live inputs are read as they deliver, whichever has something. Choosing
  // by the outputs' times would leave the microphone unread for as long as
  // the video encoder holds pictures back (its look-ahead), and what its
  // device takes meanwhile would wait, overflow, or be lost at the stop.
  bool got = false;
  for (int i = 0; i < static_cast<int>(input_files.size()); ++i) {
    const int ret = process_input(i);
    if (ret == AVERROR(EAGAIN)) continue;
    if (ret < 0) return ret == AVERROR_EOF ? 0 : ret;
    got = true;
  }
  for (auto& ost : output_streams)
    if (!ost->finished) UpdateProgress(*ost);
  if (!got) av_usleep(2000);
  return reap_filters(false);
}

int TAVTranscoder::transcode_step() {
  // Once a live input has ended (its recording time is reached), the ending
  // is the ordinary loop's: it drains and closes the outputs.
  if (Opt.LiveInputs()) {
    bool ended = false;
    for (auto& f : input_files) ended = ended || f->eof_reached;
    if (!ended) return transcode_step_live();
  }
  OutputStream* ost = Choose_output();
  if (!ost) {
    if (got_eagain()) {
      reset_eagain();
      av_usleep(10000);
      return 0;
    }
    return AVERROR_EOF;
  }
  UpdateProgress(*ost);

  InputStream* ist = nullptr;
  if (ost->filter && ost->filter->graph && ost->filter->graph->configured) {
    const int ret = transcode_from_filter(*ost->filter->graph, &ist);
    if (ret < 0) return ret;
    if (!ist) return 0;
  } else {
    if (ost->source_index < 0) {
      // Nothing can ever feed this stream.
      close_output_stream(*ost);
      return 0;
    }
    ist = input_streams[static_cast<size_t>(ost->source_index)].get();
  }

  const int ret = process_input(ist->file_index);
  if (ret == AVERROR(EAGAIN)) {
    if (input_files[static_cast<size_t>(ist->file_index)]->eagain) ost->unavailable = true;
    return 0;
  }
  if (ret < 0) return ret == AVERROR_EOF ? 0 : ret;
  return reap_filters(false);
}

int TAVTranscoder::transcode_from_filter(TAVFilterGraph& fg, InputStream** best_ist) {
  *best_ist = nullptr;
  int ret = avfilter_graph_request_oldest(fg.graph.get());
  if (ret >= 0) return reap_filters(false);
  if (ret == AVERROR_EOF) {
    ret = reap_filters(true);
    for (auto& of : fg.outputs)
      if (of->ost) close_output_stream(*of->ost);
    return ret;
  }
  if (ret != AVERROR(EAGAIN)) return ret;
  unsigned nb_requests_max = 0;
  for (auto& in : fg.inputs) {
    InputStream* ist = in->ist;
    InputFile& f = *input_files[static_cast<size_t>(ist->file_index)];
    if (f.eagain || f.eof_reached) continue;
    const unsigned nb = av_buffersrc_get_nb_failed_requests(in->filter);
    if (nb > nb_requests_max) {
      nb_requests_max = nb;
      *best_ist = ist;
    }
  }
  if (!*best_ist)
    for (auto& of : fg.outputs)
      if (of->ost) of->ost->unavailable = true;
  return 0;
}

void TAVTranscoder::drop_while_paused() {
  // A device that is not read fills its buffers and then loses what it
  // takes, or hands it over late with the paused time inside; so the inputs
  // are read on, at their own pace, and what they deliver is dropped.
  std::vector<bool> ended(input_files.size(), false);
  while (C.State() == csPaused) {
    bool got = false;
    for (size_t i = 0; i < input_files.size(); ++i) {
      InputFile& f = *input_files[i];
      if (ended[i] || f.eof_reached) continue;
      AVPacketPtr pkt(av_packet_alloc());
      if (!pkt) return;
      const int ret = get_input_packet(f, pkt.get());
      if (ret == AVERROR(EAGAIN)) continue;
      if (ret < 0) {
        ended[i] = true;  // an end or an error is the loop's to handle after the pause
        continue;
      }
      got = true;
      if (f.pause_first_ts == AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE && pkt->stream_index >= 0 &&
          pkt->stream_index < static_cast<int>(f.ctx->nb_streams))
        f.pause_first_ts = av_rescale_q(pkt->dts, f.ctx->streams[pkt->stream_index]->time_base, AV_TIME_BASE_Q) +
                           f.ts_offset;
    }
    if (!got) av_usleep(5000);
  }
}

int TAVTranscoder::process_input(int file_index) {
  InputFile& ifile = *input_files[static_cast<size_t>(file_index)];
  AVFormatContext* is = ifile.ctx.get();
  AVPacketPtr pkt(av_packet_alloc());
  if (!pkt) return AVERROR(ENOMEM);
  int ret = get_input_packet(ifile, pkt.get());
  if (ret == AVERROR(EAGAIN)) {
    ifile.eagain = true;
    return ret;
  }
  if (ret < 0) {
    if (!ifile.ended_early && !ifile.eof_reached) {
      // The end of an input is one of three things. A stop (the interrupt
      // callback after Stop or destruction) is no error. The end of the data
      // or a demuxer that finds the data cut off mid-packet is a truncated
      // input: said in the log, and what was read is converted. Anything else
      // is a read error: what was read is still converted and the files get
      // their trailers, but the conversion then ends in an error.
      const bool stopped = ret == AVERROR_EXIT && FInputAbort;
      const bool cut = ret == AVERROR_EOF || ret == AVERROR_INVALIDDATA;
      const int64_t announced = is->duration;
      const bool short_read = ret == AVERROR_EOF && announced != AV_NOPTS_VALUE && announced > 0 &&
                              ifile.last_ts != AV_NOPTS_VALUE && (Opt.RecordingTime() == INT64_MAX || Opt.RecordingTime() == 0) &&
                              Opt.StartTime() == 0 && ifile.last_ts + AV_TIME_BASE < announced;
      if (!stopped && !cut) {
        ifile.ended_early = true;
        ifile.read_error = ret;
        av_log(nullptr, AV_LOG_ERROR, "%s: read error (%s); converting what was read\n", is->url,
               AVErrorString(ret).c_str());
      } else if (ret == AVERROR_INVALIDDATA || short_read) {
        ifile.ended_early = true;
        av_log(nullptr, AV_LOG_WARNING, "%s: input ended early (%s); converting what was read\n", is->url,
               ret != AVERROR_EOF ? AVErrorString(ret).c_str() : "end of file before the announced duration");
      }
    }
    for (int i = 0; i < ifile.nb_streams; ++i) {
      InputStream& ist = *input_streams[static_cast<size_t>(ifile.ist_index + i)];
      if (ist.decoding_needed) {
        if (process_input_packet(ist, nullptr, false)) return 0;
      }
      for (auto& ost : output_streams)
        if (ost->source_index == ifile.ist_index + i && (ost->stream_copy || ost->type == AVMEDIA_TYPE_SUBTITLE))
          finish_output_stream(*ost);
    }
    ifile.eof_reached = true;
    return AVERROR(EAGAIN);
  }

  reset_eagain();
  if (pkt->stream_index >= ifile.nb_streams) return AVERROR(EAGAIN);
  InputStream& ist = *input_streams[static_cast<size_t>(ifile.ist_index + pkt->stream_index)];
  ist.nb_packets++;
  if (ist.discard) return 0;

  if (!ist.wrap_correction_done && is->start_time != AV_NOPTS_VALUE && ist.st->pts_wrap_bits < 64) {
    if (ist.next_dts == AV_NOPTS_VALUE && ifile.ts_offset == -is->start_time &&
        (is->iformat->flags & AVFMT_TS_DISCONT)) {
      int64_t new_start_time = INT64_MAX;
      for (unsigned i = 0; i < is->nb_streams; ++i) {
        AVStream* st = is->streams[i];
        if (st->discard == AVDISCARD_ALL || st->start_time == AV_NOPTS_VALUE) continue;
        new_start_time = std::min(new_start_time, av_rescale_q(st->start_time, st->time_base, AV_TIME_BASE_Q));
      }
      if (new_start_time != INT64_MAX && new_start_time > is->start_time) ifile.ts_offset = -new_start_time;
    }
    const int64_t stime = av_rescale_q(is->start_time, AV_TIME_BASE_Q, ist.st->time_base);
    const int64_t stime2 = stime + (1ULL << ist.st->pts_wrap_bits);
    ist.wrap_correction_done = true;
    if (stime2 > stime && pkt->dts != AV_NOPTS_VALUE && pkt->dts > stime + (1LL << (ist.st->pts_wrap_bits - 1))) {
      pkt->dts -= 1ULL << ist.st->pts_wrap_bits;
      ist.wrap_correction_done = false;
    }
    if (stime2 > stime && pkt->pts != AV_NOPTS_VALUE && pkt->pts > stime + (1LL << (ist.st->pts_wrap_bits - 1))) {
      pkt->pts -= 1ULL << ist.st->pts_wrap_bits;
      ist.wrap_correction_done = false;
    }
  }

  if (ist.nb_packets == 1) {
    for (int i = 0; i < ist.st->nb_side_data; ++i) {
      const AVPacketSideData& src_sd = ist.st->side_data[i];
      if (src_sd.type == AV_PKT_DATA_DISPLAYMATRIX) continue;
      if (av_packet_get_side_data(pkt.get(), src_sd.type, nullptr)) continue;
      uint8_t* dst = av_packet_new_side_data(pkt.get(), src_sd.type, src_sd.size);
      if (!dst) Fail("new side data failed");
      memcpy(dst, src_sd.data, src_sd.size);
    }
  }

  if (ifile.pause_first_ts != AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE) {
    // The first packet after a pause of live inputs follows on from the last
    // one before it: the paused time is cut out of this input's timeline.
    const int64_t t = av_rescale_q(pkt->dts, ist.st->time_base, AV_TIME_BASE_Q) + ifile.ts_offset;
    if (t > ifile.pause_first_ts) ifile.ts_offset -= t - ifile.pause_first_ts;
    ifile.pause_first_ts = AV_NOPTS_VALUE;
  }
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += av_rescale_q(ifile.ts_offset, AV_TIME_BASE_Q, ist.st->time_base);
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += av_rescale_q(ifile.ts_offset, AV_TIME_BASE_Q, ist.st->time_base);
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = std::llround(static_cast<double>(pkt->pts) * ist.ts_scale);
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = std::llround(static_cast<double>(pkt->dts) * ist.ts_scale);

  const AVMediaType type = ist.st->codecpar->codec_type;
  if ((type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) && pkt->dts != AV_NOPTS_VALUE) {
    const bool discont = is->iformat->flags & AVFMT_TS_DISCONT;
    const int64_t pkt_dts = av_rescale_q_rnd(pkt->dts, ist.st->time_base, AV_TIME_BASE_Q,
                                             static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    if (ist.next_dts == AV_NOPTS_VALUE && discont && ifile.last_ts != AV_NOPTS_VALUE) {
      const int64_t delta = pkt_dts - ifile.last_ts;
      if (delta < -dts_delta_threshold * AV_TIME_BASE || delta > dts_delta_threshold * AV_TIME_BASE) {
        ifile.ts_offset -= delta;
        pkt->dts -= av_rescale_q(delta, AV_TIME_BASE_Q, ist.st->time_base);
        if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= av_rescale_q(delta, AV_TIME_BASE_Q, ist.st->time_base);
      }
    } else if (ist.next_dts != AV_NOPTS_VALUE) {
      const int64_t delta = pkt_dts - ist.next_dts;
      if (discont) {
        if (delta < -dts_delta_threshold * AV_TIME_BASE || delta > dts_delta_threshold * AV_TIME_BASE ||
            pkt_dts + AV_TIME_BASE / 10 < std::max(ist.pts, ist.dts)) {
          ifile.ts_offset -= delta;
          pkt->dts -= av_rescale_q(delta, AV_TIME_BASE_Q, ist.st->time_base);
          if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= av_rescale_q(delta, AV_TIME_BASE_Q, ist.st->time_base);
        }
      } else {
        if (delta < -dts_error_threshold * AV_TIME_BASE || delta > dts_error_threshold * AV_TIME_BASE)
          pkt->dts = AV_NOPTS_VALUE;
        if (pkt->pts != AV_NOPTS_VALUE) {
          const int64_t pkt_pts = av_rescale_q(pkt->pts, ist.st->time_base, AV_TIME_BASE_Q);
          const int64_t d = pkt_pts - ist.next_dts;
          if (d < -dts_error_threshold * AV_TIME_BASE || d > dts_error_threshold * AV_TIME_BASE ||
              pkt_pts + 1 < ist.pts)
            pkt->pts = AV_NOPTS_VALUE;
        }
      }
    }
  }
  if (pkt->dts != AV_NOPTS_VALUE) ifile.last_ts = av_rescale_q(pkt->dts, ist.st->time_base, AV_TIME_BASE_Q);

  process_input_packet(ist, pkt.get(), false);
  return 0;
}

bool TAVTranscoder::process_input_packet(InputStream& ist, const AVPacket* pkt, bool no_eof) {
  AVCodecContext* dc = ist.dec_ctx.get();
  if (!ist.saw_first_ts) {
    ist.dts = ist.st->avg_frame_rate.num
                  ? static_cast<int64_t>(-dc->has_b_frames * AV_TIME_BASE / av_q2d(ist.st->avg_frame_rate))
                  : 0;
    ist.pts = 0;
    if (pkt && pkt->pts != AV_NOPTS_VALUE && !ist.decoding_needed) {
      ist.dts += av_rescale_q(pkt->pts, ist.st->time_base, AV_TIME_BASE_Q);
      ist.pts = ist.dts;
    }
    ist.saw_first_ts = true;
  }
  if (ist.next_dts == AV_NOPTS_VALUE) ist.next_dts = ist.dts;
  if (ist.next_pts == AV_NOPTS_VALUE) ist.next_pts = ist.pts;

  AVPacketPtr avpkt(av_packet_alloc());
  if (!avpkt) Fail("cannot allocate memory for frame");
  if (pkt) {
    if (av_packet_ref(avpkt.get(), pkt) < 0) Fail("cannot allocate memory for frame");
    if (pkt->dts != AV_NOPTS_VALUE) {
      ist.next_dts = ist.dts = av_rescale_q(pkt->dts, ist.st->time_base, AV_TIME_BASE_Q);
      if (ist.st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || !ist.decoding_needed)
        ist.next_pts = ist.pts = ist.dts;
    }
  }

  bool any_output = false;
  bool repeating = false;
  while (ist.decoding_needed) {
    int ret = 0;
    bool got_output = false;
    ist.pts = ist.next_pts;
    ist.dts = ist.next_dts;
    switch (ist.st->codecpar->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        ret = decode_audio(ist, repeating ? nullptr : avpkt.get(), got_output);
        break;
      case AVMEDIA_TYPE_VIDEO: {
        ret = decode_video(ist, repeating ? nullptr : avpkt.get(), got_output, !pkt);
        int64_t duration = 0;
        if (!repeating || !pkt || got_output) {
          if (pkt && pkt->duration)
            duration = av_rescale_q(pkt->duration, ist.st->time_base, AV_TIME_BASE_Q);
          else if (dc->framerate.num && dc->framerate.den && dc->ticks_per_frame)
            duration = static_cast<int64_t>(AV_TIME_BASE) * dc->framerate.den / dc->framerate.num;
          if (ist.dts != AV_NOPTS_VALUE && duration)
            ist.next_dts += duration;
          else
            ist.next_dts = AV_NOPTS_VALUE;
        }
        if (got_output && ist.next_pts != AV_NOPTS_VALUE) ist.next_pts += duration;
        break;
      }
      case AVMEDIA_TYPE_SUBTITLE:
        if (repeating) break;
        ret = transcode_subtitles(ist, avpkt.get(), got_output);
        if (!pkt && ret >= 0) ret = AVERROR_EOF;
        break;
      default:
        return false;
    }
    av_packet_unref(avpkt.get());
    if (ret == AVERROR_EOF) break;
    if (ret < 0) {
      // A decoding error loses this packet only.
      av_log(nullptr, AV_LOG_ERROR, "Error while decoding stream #%d:%d: %s\n", ist.file_index, ist.st->index,
             AVErrorString(ret).c_str());
      break;
    }
    if (!got_output) break;
    any_output = true;
    if (!pkt) break;  // draining: one frame per step
    repeating = true;
  }

  if (!pkt && ist.decoding_needed && !any_output && !no_eof) {
    if (send_filter_eof(ist) < 0) Fail("Error marking filters as finished");
  }

  if (!ist.decoding_needed && pkt) {
    ist.dts = ist.next_dts;
    switch (ist.st->codecpar->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        if (dc->sample_rate > 0 && dc->frame_size > 0)
          ist.next_dts += static_cast<int64_t>(AV_TIME_BASE) * dc->frame_size / dc->sample_rate;
        else if (pkt->duration > 0)
          ist.next_dts += av_rescale_q(pkt->duration, ist.st->time_base, AV_TIME_BASE_Q);
        break;
      case AVMEDIA_TYPE_VIDEO:
        if (ist.framerate.num) {
          const int64_t n = av_rescale_q(ist.next_dts, AV_TIME_BASE_Q, av_inv_q(ist.framerate));
          ist.next_dts = av_rescale_q(n + 1, av_inv_q(ist.framerate), AV_TIME_BASE_Q);
        } else if (pkt->duration) {
          ist.next_dts += av_rescale_q(pkt->duration, ist.st->time_base, AV_TIME_BASE_Q);
        } else if (dc->framerate.num && dc->framerate.den) {
          ist.next_dts += static_cast<int64_t>(AV_TIME_BASE) * dc->framerate.den / dc->framerate.num;
        }
        break;
      default:
        break;
    }
    ist.pts = ist.dts;
    ist.next_pts = ist.next_dts;
  }

  if (pkt) {
    for (auto& ostp : output_streams) {
      OutputStream& ost = *ostp;
      if (!check_output_constraints(ist, ost) || ost.encoding_needed) continue;
      do_streamcopy(ist, ost, pkt);
    }
  }
  return any_output;
}

int TAVTranscoder::decode_audio(InputStream& ist, AVPacket* pkt, bool& got_output) {
  AVCodecContext* dc = ist.dec_ctx.get();
  if (!ist.decoded_frame) ist.decoded_frame.reset(av_frame_alloc());
  if (!ist.filter_frame) ist.filter_frame.reset(av_frame_alloc());
  if (!ist.decoded_frame || !ist.filter_frame) Fail("cannot allocate memory for frame");
  AVFrame* frame = ist.decoded_frame.get();
  int ret = decode(dc, frame, got_output, pkt);
  if (ret >= 0 && dc->sample_rate <= 0) ret = AVERROR_INVALIDDATA;
  if (!got_output || ret < 0) return ret;

  ist.next_pts += static_cast<int64_t>(AV_TIME_BASE) * frame->nb_samples / frame->sample_rate;
  ist.next_dts += static_cast<int64_t>(AV_TIME_BASE) * frame->nb_samples / frame->sample_rate;

  if (frame->format != ist.resample_sample_fmt || frame->sample_rate != ist.resample_sample_rate ||
      av_channel_layout_compare(&frame->ch_layout, &ist.resample_ch_layout) != 0) {
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
      const int n = frame->ch_layout.nb_channels;
      if (n <= 0) Fail("Unable to find default channel layout for input stream");
      av_channel_layout_uninit(&frame->ch_layout);
      av_channel_layout_default(&frame->ch_layout, n);
    }
    ist.resample_sample_fmt = frame->format;
    ist.resample_sample_rate = frame->sample_rate;
    ist.resample_channels = frame->ch_layout.nb_channels;
    av_channel_layout_uninit(&ist.resample_ch_layout);
    av_channel_layout_copy(&ist.resample_ch_layout, &frame->ch_layout);
    for (auto& fg : filtergraphs) {
      if (!ist_in_filtergraph(*fg, &ist)) continue;
      drain_filtergraph(*fg);
      if (configure_filtergraph(*fg) < 0) Fail("Error reinitializing filters");
    }
  }

  AVRational tb;
  if (frame->pts != AV_NOPTS_VALUE) {
    tb = ist.st->time_base;
  } else if (pkt && pkt->pts != AV_NOPTS_VALUE) {
    frame->pts = pkt->pts;
    tb = ist.st->time_base;
  } else {
    frame->pts = ist.dts;
    tb = AV_TIME_BASE_Q;
  }
  if (frame->pts != AV_NOPTS_VALUE)
    frame->pts = av_rescale_delta(tb, frame->pts, AVRational{1, frame->sample_rate}, frame->nb_samples,
                                  &ist.filter_in_rescale_delta_last, AVRational{1, frame->sample_rate});
  ret = send_frame_to_filters(ist, frame);
  av_frame_unref(frame);
  return ret;
}

int TAVTranscoder::decode_video(InputStream& ist, AVPacket* pkt, bool& got_output, bool eof) {
  AVCodecContext* dc = ist.dec_ctx.get();
  if (!ist.decoded_frame) ist.decoded_frame.reset(av_frame_alloc());
  if (!ist.filter_frame) ist.filter_frame.reset(av_frame_alloc());
  if (!ist.decoded_frame || !ist.filter_frame) Fail("cannot allocate memory for frame");
  if (!eof && pkt && pkt->size == 0) return 0;
  if (pkt && ist.dts != AV_NOPTS_VALUE) pkt->dts = av_rescale_q(ist.dts, AV_TIME_BASE_Q, ist.st->time_base);
  AVFrame* frame = ist.decoded_frame.get();
  int ret = decode(dc, frame, got_output, pkt);
  if (!got_output || ret < 0) return ret;

  if (ist.top_field_first >= 0) {
    frame->top_field_first = ist.top_field_first;
  }
  const int64_t best = frame->best_effort_timestamp;
  if (best != AV_NOPTS_VALUE) {
    frame->pts = best;
    ist.next_pts = ist.pts = av_rescale_q(best, ist.st->time_base, AV_TIME_BASE_Q);
  }
  if (ist.st->sample_aspect_ratio.num) frame->sample_aspect_ratio = ist.st->sample_aspect_ratio;

  if (frame->width != ist.resample_width || frame->height != ist.resample_height ||
      frame->format != ist.resample_pix_fmt) {
    ist.resample_width = frame->width;
    ist.resample_height = frame->height;
    ist.resample_pix_fmt = frame->format;
    for (auto& fg : filtergraphs) {
      if (!ist_in_filtergraph(*fg, &ist)) continue;
      drain_filtergraph(*fg);
      if (configure_filtergraph(*fg) < 0) Fail("Error reinitializing filters");
    }
  }
  if (!frame->sample_aspect_ratio.num) frame->sample_aspect_ratio = ist.st->sample_aspect_ratio;
  ret = send_frame_to_filters(ist, frame);
  av_frame_unref(frame);
  if (ret < 0) Fail("Failed to inject frame into filter network");
  return ret;
}

int TAVTranscoder::send_frame_to_filters(InputStream& ist, AVFrame* frame) {
  for (size_t i = 0; i < ist.filters.size(); ++i) {
    AVFilterContext* src = ist.filters[i]->filter;
    if (!src) continue;
    AVFrame* f = frame;
    if (i + 1 < ist.filters.size()) {
      if (av_frame_ref(ist.filter_frame.get(), frame) < 0) return AVERROR(ENOMEM);
      f = ist.filter_frame.get();
    }
    int ret = av_buffersrc_add_frame_flags(src, f, AV_BUFFERSRC_FLAG_PUSH);
    av_frame_unref(ist.filter_frame.get());
    if (ret == AVERROR_EOF) ret = 0;
    if (ret < 0) {
      av_log(nullptr, AV_LOG_ERROR, "Failed to inject frame into filter network: %s\n", AVErrorString(ret).c_str());
      return ret;
    }
  }
  return 0;
}

int TAVTranscoder::send_filter_eof(InputStream& ist) {
  for (TInputFilter* in : ist.filters) {
    if (!in->filter) continue;
    const int ret = av_buffersrc_add_frame(in->filter, nullptr);
    if (ret < 0 && ret != AVERROR_EOF) return ret;
  }
  return 0;
}

int TAVTranscoder::transcode_subtitles(InputStream& ist, AVPacket* pkt, bool& got_output) {
  AVSubtitle sub{};
  int got = 0;
  AVPacket empty{};
  AVPacket* p = pkt ? pkt : &empty;
  const int ret = avcodec_decode_subtitle2(ist.dec_ctx.get(), &sub, &got, p);
  got_output = got != 0;
  if (ret < 0 || !got) return ret;
  if (sub.num_rects > 0) {
    if (sub.pts == AV_NOPTS_VALUE) sub.pts = ist.pts;
    for (auto& ostp : output_streams) {
      OutputStream& ost = *ostp;
      if (!check_output_constraints(ist, ost) || !ost.encoding_needed || ost.type != AVMEDIA_TYPE_SUBTITLE) continue;
      do_subtitle_out(ost, ist, &sub);
    }
  }
  avsubtitle_free(&sub);
  return ret;
}

void TAVTranscoder::OfferVideoBuffer(OutputStream& ost, AVFrame*& frame, AVFramePtr& holder) {
  C.FVideoBufferCount++;
  const int interval = std::max(1, C.VideoBufferEventInterval());
  if (!ost.filter || C.FVideoBufferCount % interval != 0 || !C.HasVideoBuffer()) return;
  AVCodecContext* ec = ost.enc_ctx.get();
  if (!ost.sws_ctx || !ost.bitmap || frame->width != ec->width || frame->height != ec->height ||
      frame->format != ec->pix_fmt)
    return;
  sws_scale(ost.sws_ctx.get(), frame->data, frame->linesize, 0, frame->height, ost.frame_rgb->data,
            ost.frame_rgb->linesize);
  const double ts = frame->pts == AV_NOPTS_VALUE ? get_current_pts(ost)
                                                 : static_cast<double>(frame->pts) * av_q2d(ec->time_base);
  C.FBufferModified = false;
  C.DoVideoBuffer(*ost.bitmap, ts);
  if (!C.FBufferModified) return;
  // The edited picture goes into a frame of our own: the filters may still
  // hold the one they gave us.
  AVFramePtr copy(av_frame_alloc());
  if (!copy) Fail("cannot allocate memory for frame");
  copy->format = frame->format;
  copy->width = frame->width;
  copy->height = frame->height;
  if (av_frame_get_buffer(copy.get(), 0) < 0) Fail("cannot allocate memory for frame");
  av_frame_copy_props(copy.get(), frame);
  sws_scale(ost.sws_ctx_chg.get(), ost.frame_rgb->data, ost.frame_rgb->linesize, 0, frame->height, copy->data,
            copy->linesize);
  holder = std::move(copy);
  frame = holder.get();
}

void TAVTranscoder::reap_one(OutputStream& ost, AVFrame* filtered, TOutputFilter& ofilter) {
  if (ost.finished) {
    av_frame_unref(filtered);
    return;
  }
  AVCodecContext* ec = ost.enc_ctx.get();
  const OutputFile& of = *output_files[static_cast<size_t>(ost.file_index)];
  double float_pts = AV_NOPTS_VALUE;
  if (filtered->pts != AV_NOPTS_VALUE) {
    const int64_t start = of.start_time;
    const AVRational filter_tb = av_buffersink_get_time_base(ofilter.filter);
    AVRational tb = ec->time_base;
    const int extra_bits = av_clip(29 - av_log2(static_cast<unsigned>(tb.den)), 0, 16);
    tb.den <<= extra_bits;
    float_pts = static_cast<double>(av_rescale_q(filtered->pts, filter_tb, tb) -
                                    av_rescale_q(start, AV_TIME_BASE_Q, tb));
    float_pts /= 1 << extra_bits;
    float_pts += FFSIGN(float_pts) * 1.0 / (1 << 17);
    filtered->pts = av_rescale_q(filtered->pts, filter_tb, ec->time_base) -
                    av_rescale_q(start, AV_TIME_BASE_Q, ec->time_base);
  }
  switch (av_buffersink_get_type(ofilter.filter)) {
    case AVMEDIA_TYPE_VIDEO: {
      AVFrame* frame = filtered;
      AVFramePtr edited;
      OfferVideoBuffer(ost, frame, edited);
      if (!ost.frame_aspect_ratio.num) ec->sample_aspect_ratio = frame->sample_aspect_ratio;
      do_video_out(ost, frame, float_pts);
      // Interleaved files keep sound and picture within a second or so, and
      // the muxer holds pictures for at most 10 s waiting for the sound: a
      // lead of 5 s means the sound has stopped.
      pad_dv_sound(ost.file_index, 5.0, 0);
      break;
    }
    case AVMEDIA_TYPE_AUDIO: {
      if (!(ost.enc->capabilities & AV_CODEC_CAP_PARAM_CHANGE) &&
          ec->ch_layout.nb_channels != filtered->ch_layout.nb_channels) {
        av_log(nullptr, AV_LOG_ERROR, "Audio filter graph output is not normalized and encoder does not support parameter changes\n");
        break;
      }
      if (C.HasAudioBuffer()) {
        // One plane: for planar audio that is one channel's samples.
        const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(filtered->format));
        const int size = av_samples_get_buffer_size(nullptr, planar ? 1 : filtered->ch_layout.nb_channels,
                                                    filtered->nb_samples,
                                                    static_cast<AVSampleFormat>(filtered->format), 1);
        if (size > 0) C.RaiseAudioBuffer(filtered->data[0], size);
      }
      do_audio_out(ost, filtered);
      break;
    }
    default:
      break;
  }
  av_frame_unref(filtered);
}

int TAVTranscoder::reap_filters(bool flush) {
  for (auto& ostp : output_streams) {
    OutputStream& ost = *ostp;
    if (!ost.filter || !ost.filter->filter || !ost.filter->graph->configured) continue;
    if (!ost.filtered_frame) ost.filtered_frame.reset(av_frame_alloc());
    if (!ost.filtered_frame) Fail("cannot allocate frame for filtergraph");
    AVFrame* frame = ost.filtered_frame.get();
    for (;;) {
      const int ret = av_buffersink_get_frame_flags(ost.filter->filter, frame, AV_BUFFERSINK_FLAG_NO_REQUEST);
      if (ret < 0) {
        if (flush && ret == AVERROR_EOF && ost.type == AVMEDIA_TYPE_VIDEO) do_video_out(ost, nullptr, 0);
        break;
      }
      reap_one(ost, frame, *ost.filter);
    }
  }
  return 0;
}

}  // namespace kivora
