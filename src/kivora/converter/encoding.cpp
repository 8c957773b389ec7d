// Encoding and muxing: video with frame-rate synchronisation (duplicating or
// dropping pictures), audio, subtitles, stream copy, the checks every packet
// passes on its way to the muxer, flushing, and the loop that drives it all.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "kivora/converter/transcoder.h"
#include "kivora/platform/exception.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/runtime/utils.h"

namespace kivora {

void TAVTranscoder::encode_frame(OutputStream& ost, AVFrame* frame, const char* failMessage) {
  AVCodecContext* enc = ost.enc_ctx.get();
  int ret = avcodec_send_frame(enc, frame);
  if (ret == AVERROR_EOF && !frame) return;  // already drained
  if (ret < 0) Fail(failMessage);
  AVPacketPtr pkt(av_packet_alloc());
  if (!pkt) Fail(failMessage);
  for (;;) {
    ret = avcodec_receive_packet(enc, pkt.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) Fail(failMessage);
    if (ost.logfile && enc->stats_out) fputs(enc->stats_out, ost.logfile);
    if (ost.finished & MUXER_FINISHED) {
      av_packet_unref(pkt.get());
      continue;
    }
    if (ost.type == AVMEDIA_TYPE_VIDEO && pkt->pts == AV_NOPTS_VALUE && !(enc->codec->capabilities & AV_CODEC_CAP_DELAY))
      pkt->pts = ost.sync_opts;
    av_packet_rescale_ts(pkt.get(), enc->time_base, ost.st->time_base);
    const int size = pkt->size;
    write_frame(pkt.get(), ost);
    if (ost.type == AVMEDIA_TYPE_VIDEO) {
      {
        std::lock_guard<std::mutex> lock(C.FFigureLock);
        C.FVideoSize += size;
      }
      if (size > 0 && C.HasVideoStats()) do_video_stats(ost, size);
    } else if (ost.type == AVMEDIA_TYPE_AUDIO && !frame) {
      std::lock_guard<std::mutex> lock(C.FFigureLock);
      C.FAudioSize += size;
    }
  }
}

void TAVTranscoder::do_video_out(OutputStream& ost, AVFrame* next_picture, double sync_ipts) {
  AVCodecContext* enc = ost.enc_ctx.get();
  const OutputFile& of = *output_files[static_cast<size_t>(ost.file_index)];
  InputStream* ist = get_input_stream(ost);
  double duration = 0;
  const AVRational sink_rate = ost.filter && ost.filter->filter ? av_buffersink_get_frame_rate(ost.filter->filter)
                                                               : AVRational{0, 1};
  if (sink_rate.num > 0 && sink_rate.den > 0) duration = 1 / (av_q2d(sink_rate) * av_q2d(enc->time_base));
  if (ist && ist->st->start_time != AV_NOPTS_VALUE && ost.frame_rate.num)
    duration = std::min(duration, 1 / (av_q2d(ost.frame_rate) * av_q2d(enc->time_base)));
  if (Opt.FilterOptions().VideoFilters().empty() && Opt.FilterOptions().AudioFilters().empty() &&
      Opt.FilterOptions().ComplexFilters().Empty() && next_picture && ist) {
    const double d = next_picture->pkt_duration * av_q2d(ist->st->time_base) / av_q2d(enc->time_base);
    if (std::lrint(d) > 0) duration = static_cast<double>(std::lrint(d));
  }

  int64_t nb_frames, nb0_frames;
  if (!next_picture) {
    nb0_frames = nb_frames = mid_pred(ost.last_nb0_frames[0], ost.last_nb0_frames[1], ost.last_nb0_frames[2]);
  } else {
    double delta0 = sync_ipts - static_cast<double>(ost.sync_opts);
    double delta = delta0 + duration;
    nb0_frames = 0;
    nb_frames = 1;
    int vsync = Opt.VideoOptions().VideoSyncMethod();
    if (vsync == VSYNC_AUTO) {
      if (strcmp(of.ctx->oformat->name, "avi") == 0) {
        vsync = VSYNC_VFR_;
      } else {
        vsync = (of.ctx->oformat->flags & AVFMT_VARIABLE_FPS)
                    ? ((of.ctx->oformat->flags & AVFMT_NOTIMESTAMPS) ? VSYNC_PASSTHROUGH : VSYNC_VFR_)
                    : VSYNC_CFR;
        if (ist && vsync == VSYNC_CFR && input_files[static_cast<size_t>(ist->file_index)]->ctx->nb_streams == 1)
          vsync = VSYNC_VSCFR;
      }
    }
    ost.is_cfr = vsync == VSYNC_CFR || vsync == VSYNC_VSCFR;
    if (delta0 < 0 && delta > 0 && vsync != VSYNC_PASSTHROUGH && vsync != VSYNC_DROP) {
      const double cor = std::min(-delta0, duration);
      delta0 += cor;
      duration -= cor;
      sync_ipts += cor;
    }
    switch (vsync) {
      case VSYNC_VSCFR:
        if (ost.frame_number == 0 && delta0 >= 0.5) {
          // Start where the first picture is instead of filling the gap.
          delta = duration;
          delta0 = 0;
          ost.sync_opts = std::llrint(sync_ipts);
        }
        [[fallthrough]];
      case VSYNC_CFR:
        if (delta < -1.1)
          nb_frames = 0;
        else if (delta > 1.1) {
          nb_frames = std::llrint(delta);
          if (delta0 > 1.1) nb0_frames = std::llrint(delta0 - 0.6);
        }
        break;
      case VSYNC_VFR_:
        if (delta <= -0.6)
          nb_frames = 0;
        else if (delta > 0.6)
          ost.sync_opts = std::llrint(sync_ipts);
        break;
      default:  // drop, passthrough
        ost.sync_opts = std::llrint(sync_ipts);
        break;
    }
  }
  nb_frames = std::min<int64_t>(nb_frames, static_cast<int64_t>(Opt.VideoOptions().MaxFrames()) - ost.frame_number);
  nb_frames = std::max<int64_t>(nb_frames, 0);
  nb0_frames = std::min(nb0_frames, nb_frames);
  ost.last_nb0_frames[2] = ost.last_nb0_frames[1];
  ost.last_nb0_frames[1] = ost.last_nb0_frames[0];
  ost.last_nb0_frames[0] = static_cast<int>(nb0_frames);
  if (nb_frames > (nb0_frames && ost.last_dropped) + (nb_frames > nb0_frames) && nb_frames > 3240000) return;
  ost.last_dropped = nb_frames == nb0_frames && next_picture;

  for (int64_t i = 0; i < nb_frames; ++i) {
    AVFrame* in_picture = (i < nb0_frames && ost.last_frame && ost.last_frame->buf[0]) ? ost.last_frame.get()
                                                                                       : next_picture;
    if (!in_picture) return;
    in_picture->pts = ost.sync_opts;
    if (!check_recording_time(ost)) return;
    if ((enc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME)) &&
        Opt.VideoOptions().TopFieldFirst() >= 0)
      in_picture->top_field_first = Opt.VideoOptions().TopFieldFirst();
    if (in_picture->interlaced_frame) {
      if (enc->codec->id == AV_CODEC_ID_MJPEG)
        enc->field_order = in_picture->top_field_first ? AV_FIELD_TT : AV_FIELD_BB;
      else
        enc->field_order = in_picture->top_field_first ? AV_FIELD_TB : AV_FIELD_BT;
    } else {
      enc->field_order = AV_FIELD_PROGRESSIVE;
    }
    in_picture->quality = enc->global_quality;
    in_picture->pict_type = AV_PICTURE_TYPE_NONE;
    if (ost.first_pts == AV_NOPTS_VALUE) ost.first_pts = 0;
    encode_frame(ost, in_picture, "Video encoding failed");
    ost.sync_opts++;
    ost.frame_number++;
  }

  if (!ost.last_frame) ost.last_frame.reset(av_frame_alloc());
  if (ost.last_frame) {
    av_frame_unref(ost.last_frame.get());
    if (next_picture) av_frame_ref(ost.last_frame.get(), next_picture);
  }
}

void TAVTranscoder::do_audio_out(OutputStream& ost, AVFrame* frame) {
  if (!check_recording_time(ost)) return;
  if (ost.sound_padded_to != AV_NOPTS_VALUE && frame->pts != AV_NOPTS_VALUE && frame->pts < ost.sound_padded_to)
    return;  // its place is taken by silence already
  if (frame->pts == AV_NOPTS_VALUE || Opt.AudioOptions().AudioSyncMethod() < 0) frame->pts = ost.sync_opts;
  ost.sync_opts = frame->pts + frame->nb_samples;
  encode_frame(ost, frame, "Audio encoding failed");
}

void TAVTranscoder::do_subtitle_out(OutputStream& ost, InputStream& ist, AVSubtitle* sub) {
  (void)ist;
  if (sub->pts == AV_NOPTS_VALUE) Fail("Subtitle packets must have a pts");
  AVCodecContext* enc = ost.enc_ctx.get();
  if (subtitle_out.empty()) subtitle_out.resize(1 << 20);
  const int nb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
  const OutputFile& of = *output_files[static_cast<size_t>(ost.file_index)];
  const int64_t pts = sub->pts - of.start_time;
  for (int i = 0; i < nb; ++i) {
    const unsigned save_num_rects = sub->num_rects;
    ost.sync_opts = av_rescale_q(pts, AV_TIME_BASE_Q, enc->time_base);
    if (!check_recording_time(ost)) return;
    AVSubtitle s = *sub;
    s.pts = pts + av_rescale_q(sub->start_display_time, AVRational{1, 1000}, AV_TIME_BASE_Q);
    s.end_display_time -= s.start_display_time;
    s.start_display_time = 0;
    // A cue that began before the start shows from the start for what is
    // left of it; one that is over by then is not written at all.
    if (s.pts < 0) {
      const int64_t end = s.pts + av_rescale_q(s.end_display_time, AVRational{1, 1000}, AV_TIME_BASE_Q);
      if (end <= 0) return;
      s.end_display_time = static_cast<uint32_t>(av_rescale_q(end, AV_TIME_BASE_Q, AVRational{1, 1000}));
      s.pts = 0;
      ost.sync_opts = 0;
    }
    if (i == 1) s.num_rects = 0;
    const int size = avcodec_encode_subtitle(enc, subtitle_out.data(), static_cast<int>(subtitle_out.size()), &s);
    sub->num_rects = save_num_rects;
    if (size < 0) Fail("Subtitle encoding failed");
    AVPacketPtr pkt(av_packet_alloc());
    if (!pkt || av_new_packet(pkt.get(), size) < 0) Fail("Subtitle encoding failed");
    memcpy(pkt->data, subtitle_out.data(), static_cast<size_t>(size));
    pkt->pts = av_rescale_q(s.pts, AV_TIME_BASE_Q, ost.st->time_base);
    pkt->duration = av_rescale_q(s.end_display_time, AVRational{1, 1000}, ost.st->time_base);
    if (enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE) {
      if (i == 0)
        pkt->pts += av_rescale_q(s.start_display_time, AVRational{1, 1000}, ost.st->time_base);
      else
        pkt->pts += av_rescale_q(s.end_display_time, AVRational{1, 1000}, ost.st->time_base);
    }
    pkt->dts = pkt->pts;
    write_frame(pkt.get(), ost);
  }
}

void TAVTranscoder::do_streamcopy(InputStream& ist, OutputStream& ost, const AVPacket* pkt) {
  const OutputFile& of = *output_files[static_cast<size_t>(ost.file_index)];
  const InputFile& f = *input_files[static_cast<size_t>(ist.file_index)];
  const int64_t ost_tb_start_time = av_rescale_q(of.start_time, AV_TIME_BASE_Q, ost.st->time_base);
  if (!ost.copy_started && !(pkt->flags & AV_PKT_FLAG_KEY)) return;
  // After a seek to StartTime the input's timestamps count from the start,
  // and what lies before it is lead-in. Pictures need the key frame before
  // the start and what follows it to be decodable, so they keep it, at
  // times before zero; every packet of the other streams stands alone and
  // those before the start are dropped, so the file begins at the start.
  if (!ost.copy_started && Opt.StartTime() != 0 && ost.type != AVMEDIA_TYPE_VIDEO) {
    const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    const int64_t at = ts != AV_NOPTS_VALUE ? av_rescale_q(ts, ist.st->time_base, AV_TIME_BASE_Q) : ist.pts;
    const int64_t length = pkt->duration > 0 ? av_rescale_q(pkt->duration, ist.st->time_base, AV_TIME_BASE_Q) : 0;
    // A subtitle that is still on screen at the start is kept.
    if (ost.type == AVMEDIA_TYPE_SUBTITLE ? at + length <= 0 : at < 0) return;
  }
  if (of.recording_time != INT64_MAX && ist.pts >= of.recording_time + of.start_time) {
    close_output_stream(ost);
    ost.finished |= MUXER_FINISHED;
    return;
  }
  if (f.recording_time != INT64_MAX && ist.pts >= f.recording_time) {
    close_output_stream(ost);
    ost.finished |= MUXER_FINISHED;
    return;
  }
  ost.copy_started = true;
  AVPacketPtr opkt(av_packet_alloc());
  if (!opkt || av_packet_ref(opkt.get(), pkt) < 0) Fail("Can not alloc buffer");
  if (ost.type == AVMEDIA_TYPE_VIDEO) {
    std::lock_guard<std::mutex> lock(C.FFigureLock);
    C.FVideoSize += pkt->size;
  }
  if (pkt->pts != AV_NOPTS_VALUE)
    opkt->pts = av_rescale_q(pkt->pts, ist.st->time_base, ost.st->time_base) - ost_tb_start_time;
  if (pkt->dts == AV_NOPTS_VALUE)
    opkt->dts = av_rescale_q(ist.dts, AV_TIME_BASE_Q, ost.st->time_base);
  else
    opkt->dts = av_rescale_q(pkt->dts, ist.st->time_base, ost.st->time_base);
  opkt->dts -= ost_tb_start_time;
  const AVCodecParameters* par = ist.st->codecpar;
  if (ost.type == AVMEDIA_TYPE_AUDIO && pkt->dts != AV_NOPTS_VALUE && par->sample_rate > 0) {
    int duration = av_get_audio_frame_duration2(ist.st->codecpar, pkt->size);
    if (!duration) duration = par->frame_size;
    if (duration > 0) {
      opkt->dts = opkt->pts = av_rescale_delta(ist.st->time_base, pkt->dts, AVRational{1, par->sample_rate}, duration,
                                               &ist.filter_in_rescale_delta_last, ost.st->time_base) -
                              ost_tb_start_time;
    }
  }
  opkt->duration = av_rescale_q(pkt->duration, ist.st->time_base, ost.st->time_base);
  const int size = opkt->size;
  write_frame(opkt.get(), ost);
  if (ost.type == AVMEDIA_TYPE_VIDEO) {
    ost.sync_opts++;
    if (C.HasVideoStats()) do_video_stats(ost, size);
  }
}

void TAVTranscoder::write_frame(AVPacket* pkt, OutputStream& ost) {
  if ((ost.type == AVMEDIA_TYPE_VIDEO && Opt.VideoOptions().VideoSyncMethod() == VSYNC_DROP) ||
      (ost.type == AVMEDIA_TYPE_AUDIO && Opt.AudioOptions().AudioSyncMethod() < 0))
    pkt->pts = pkt->dts = AV_NOPTS_VALUE;
  if (!(ost.type == AVMEDIA_TYPE_VIDEO && ost.encoding_needed)) {
    if (ost.frame_number >= ost.max_frames) {
      av_packet_unref(pkt);
      return;
    }
    ost.frame_number++;
  }
  if (ost.type == AVMEDIA_TYPE_VIDEO && ost.is_cfr && ost.frame_rate.num && ost.frame_rate.den)
    pkt->duration = av_rescale_q(1, av_inv_q(ost.frame_rate), ost.st->time_base);

  if (ost.bsf) {
    int ret = av_bsf_send_packet(ost.bsf.get(), pkt);
    if (ret < 0) {
      av_packet_unref(pkt);
      Fail("error create bitstreamfilter");
    }
    while ((ret = av_bsf_receive_packet(ost.bsf.get(), pkt)) >= 0) {
      if (!pkt->size && !pkt->side_data_elems) {
        av_packet_unref(pkt);
        continue;
      }
      write_packet(pkt, ost);
    }
    if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) Fail("error create bitstreamfilter");
    return;
  }
  write_packet(pkt, ost);
}

void TAVTranscoder::write_packet(AVPacket* pkt, OutputStream& ost) {
  AVFormatContext* s = output_files[static_cast<size_t>(ost.file_index)]->ctx;
  if (!(s->oformat->flags & AVFMT_NOTIMESTAMPS)) {
    if (pkt->dts != AV_NOPTS_VALUE && pkt->pts != AV_NOPTS_VALUE && pkt->dts > pkt->pts) {
      // The middle of pts, dts and one past the last dts.
      const int64_t last = ost.last_mux_dts == AV_NOPTS_VALUE ? pkt->pts : ost.last_mux_dts + 1;
      const int64_t a = pkt->pts, b = pkt->dts, c = last;
      const int64_t mid = std::max(std::min(a, b), std::min(std::max(a, b), c));
      pkt->pts = pkt->dts = mid;
    }
    if ((ost.type == AVMEDIA_TYPE_AUDIO || ost.type == AVMEDIA_TYPE_VIDEO) && pkt->dts != AV_NOPTS_VALUE &&
        !(ost.st->codecpar->codec_id == AV_CODEC_ID_VP9 && ost.stream_copy) && ost.last_mux_dts != AV_NOPTS_VALUE) {
      const int64_t max = ost.last_mux_dts + !(s->oformat->flags & AVFMT_TS_NONSTRICT);
      if (pkt->dts < max) {
        if (pkt->pts >= pkt->dts) pkt->pts = std::max(pkt->pts, max);
        pkt->dts = max;
      }
    }
  }
  if (pkt->dts != AV_NOPTS_VALUE) ost.last_mux_dts = pkt->dts;
  const int64_t end = (pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts);
  if (end != AV_NOPTS_VALUE) ost.end_pts = std::max(ost.end_pts == AV_NOPTS_VALUE ? end : ost.end_pts, end + pkt->duration);
  pkt->stream_index = ost.index;
  const int ret = av_interleaved_write_frame(s, pkt);
  av_packet_unref(pkt);
  if (ret < 0) Fail("av_interleaved_write_frame() ");
}

// DV carries each picture's sound inside the picture, and the DV muxer
// cannot write a picture whose share of sound never comes ("Insufficient
// audio data"): sound resampled from 44.1 kHz ends a little short of the last
// picture, and sound that stops early leaves every later picture without.
void TAVTranscoder::pad_dv_sound(int file_index, double lag, int extraPictures) {
  const OutputFile& of = *output_files[static_cast<size_t>(file_index)];
  if (!of.header_written || strcmp(of.ctx->oformat->name, "dv") != 0) return;
  double pictures = -1;  // seconds
  for (const auto& o : output_streams)
    if (o->file_index == file_index && o->type == AVMEDIA_TYPE_VIDEO && o->encoding_needed)
      pictures = std::max(pictures, static_cast<double>(o->sync_opts + extraPictures) * av_q2d(o->enc_ctx->time_base));
  if (pictures < 0) return;
  for (const auto& o : output_streams) {
    OutputStream& ost = *o;
    AVCodecContext* ec = ost.enc_ctx.get();
    // A stream whose source has ended is still padded; one the muxer is done
    // with (a size limit) is not.
    if (ost.file_index != file_index || ost.type != AVMEDIA_TYPE_AUDIO || !ost.encoding_needed ||
        (ost.finished & MUXER_FINISHED) || !ec || !avcodec_is_open(ec) || ec->time_base.num <= 0 ||
        ec->time_base.den <= 0)
      continue;
    const double sound = static_cast<double>(ost.sync_opts) * av_q2d(ec->time_base);
    if (pictures - sound <= lag) continue;
    const int64_t target = std::llround(pictures / av_q2d(ec->time_base));
    const bool fixedSize = ec->frame_size > 0 && !(ec->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    AVFramePtr silence(av_frame_alloc());
    if (!silence) Fail("cannot allocate an audio frame");
    while (ost.sync_opts < target && !(ost.finished & MUXER_FINISHED)) {
      silence->nb_samples =
          fixedSize ? ec->frame_size : static_cast<int>(std::min<int64_t>(1024, target - ost.sync_opts));
      silence->format = ec->sample_fmt;
      silence->sample_rate = ec->sample_rate;
      if (av_channel_layout_copy(&silence->ch_layout, &ec->ch_layout) < 0 || av_frame_get_buffer(silence.get(), 0) < 0)
        Fail("cannot allocate an audio frame");
      av_samples_set_silence(silence->data, 0, silence->nb_samples, ec->ch_layout.nb_channels, ec->sample_fmt);
      silence->pts = ost.sync_opts;
      const int64_t before = ost.sync_opts;
      do_audio_out(ost, silence.get());
      av_frame_unref(silence.get());
      if (ost.sync_opts == before) break;  // past the recording time
    }
    ost.sound_padded_to = ost.sync_opts;
  }
}

void TAVTranscoder::flush_bitstream_filters() {
  AVPacketPtr pkt(av_packet_alloc());
  if (!pkt) Fail("cannot allocate a packet");
  for (auto& ostp : output_streams) {
    OutputStream& ost = *ostp;
    // A full file (a size limit) takes nothing more; a stream that has only
    // reached its end or its recording time still gets what the filter holds.
    if (!ost.bsf || output_files[static_cast<size_t>(ost.file_index)]->limit_reached) continue;
    // The end of the stream: filters that gather packets (rechunking,
    // merging) give back what they still hold.
    if (av_bsf_send_packet(ost.bsf.get(), nullptr) < 0) continue;
    int ret;
    while ((ret = av_bsf_receive_packet(ost.bsf.get(), pkt.get())) >= 0) {
      if (!pkt->size && !pkt->side_data_elems) {
        av_packet_unref(pkt.get());
        continue;
      }
      write_packet(pkt.get(), ost);
    }
    if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) Fail("error create bitstreamfilter");
  }
}

void TAVTranscoder::flush_encoders() {
  for (auto& ostp : output_streams) {
    OutputStream& ost = *ostp;
    if (!ost.encoding_needed) continue;
    AVCodecContext* enc = ost.enc_ctx.get();
    if (ost.type == AVMEDIA_TYPE_AUDIO && enc->frame_size <= 1 &&
        !(enc->codec->capabilities & AV_CODEC_CAP_DELAY))
      continue;
    if (ost.type != AVMEDIA_TYPE_VIDEO && ost.type != AVMEDIA_TYPE_AUDIO) continue;
    if (!avcodec_is_open(enc)) continue;
    encode_frame(ost, nullptr, "encoding failed");
  }
}

void TAVTranscoder::do_video_stats(OutputStream& ost, int frame_size) {
  if (ost.type != AVMEDIA_TYPE_VIDEO) return;
  const AVRational stb = ost.st->time_base;
  double elapse = ost.end_pts == AV_NOPTS_VALUE || !stb.den ? 0 : static_cast<double>(ost.end_pts) * av_q2d(stb);
  elapse = std::max(elapse, 0.01);
  // Seconds one picture lasts: the encoder's time base, or for copied video
  // the stream's frame rate (its time base as a last resort).
  double frame_secs = 0;
  if (ost.encoding_needed && ost.enc_ctx->time_base.num > 0 && ost.enc_ctx->time_base.den > 0)
    frame_secs = av_q2d(ost.enc_ctx->time_base);
  else if (ost.st->avg_frame_rate.num > 0 && ost.st->avg_frame_rate.den > 0)
    frame_secs = av_q2d(av_inv_q(ost.st->avg_frame_rate));
  else if (stb.num > 0 && stb.den > 0)
    frame_secs = av_q2d(stb);
  const double bitrate = frame_secs > 0 ? frame_size * 8.0 / frame_secs / 1000.0 : 0;
  int64_t video_size;
  {
    std::lock_guard<std::mutex> lock(C.FFigureLock);
    video_size = C.FVideoSize;
  }
  const double avg = static_cast<double>(video_size) * 8.0 / elapse / 1000.0;
  const int w = ost.encoding_needed ? ost.enc_ctx->width : ost.st->codecpar->width;
  const int h = ost.encoding_needed ? ost.enc_ctx->height : ost.st->codecpar->height;
  C.RaiseVideoStats(w, h, bitrate, avg, ost.frame_number, elapse);
}

// How far the reading of a complex graph's inputs has got, as a share of
// their lengths added up (-1 when a length is unknown). Adding up fits both
// kinds of graph: inputs read side by side (stacking, mixing) advance
// together, inputs read one after the other (concatenation) in turn, and
// either way the share grows evenly with the work.
double TAVTranscoder::GraphInputsShare(const TAVFilterGraph& fg) const {
  double total = 0, read = 0;
  for (const auto& in : fg.inputs) {
    if (!in->ist) continue;
    const InputFile& f = *input_files[static_cast<size_t>(in->ist->file_index)];
    const int64_t d = f.ctx->duration;
    if (d == AV_NOPTS_VALUE || d <= 0) return -1;
    const double len = static_cast<double>(d) / AV_TIME_BASE;
    total += len;
    read += f.eof_reached ? len : std::clamp(static_cast<double>(in->ist->pts) / AV_TIME_BASE, 0.0, len);
  }
  return total > 0 ? read / total : -1;
}

void TAVTranscoder::UpdateProgress(OutputStream& ost) {
  const double pts = get_current_pts(ost);
  double share = -1;
  if (ost.filter && ost.filter->graph && !ost.filter->graph->graph_desc.empty() && ost.filter->graph->inputs.size() > 1)
    share = GraphInputsShare(*ost.filter->graph);
  std::lock_guard<std::mutex> lock(C.FFigureLock);
  if (pts > C.FConvertedDuration) C.FConvertedDuration = pts;
  if (share > C.FGraphInputsShare) C.FGraphInputsShare = share;
}

int64_t TAVTranscoder::OutputSize(AVIOContext* pb) {
  int64_t size = avio_size(pb);
  if (size < 0) size = avio_tell(pb);  // not seekable: what was written so far
  return size < 0 ? 0 : size;
}

void TAVTranscoder::print_report(bool is_last) {
  const int64_t now = av_gettime_relative();
  {
    std::lock_guard<std::mutex> lock(C.FFigureLock);
    if (!is_last) {
      if (C.last_time == 0) {
        C.last_time = now;
        return;
      }
      if (now - C.last_time < 500000) return;
    }
    C.last_time = now;
  }
  // The first file's size; once it is closed, the size it was closed at.
  int64_t target = FClosedTargetSize;
  if (!output_files.empty() && output_files[0]->ctx->pb) target = OutputSize(output_files[0]->ctx->pb);
  double t = 1e10;
  for (auto& ost : output_streams) {
    if (ost->last_mux_dts == AV_NOPTS_VALUE || !ost->st->time_base.den) continue;
    const double v = static_cast<double>(ost->last_mux_dts) * av_q2d(ost->st->time_base);
    if (v > 0 && v < t) t = v;
  }
  if (t == 1e10) t = 0;
  std::lock_guard<std::mutex> lock(C.FFigureLock);
  C.FTargetFileSize = target;
  C.FSourceFileSize = SourceFileSize(0);
  C.FBitrate = static_cast<double>(target) * 8 / std::max(t, 0.01) / 1000;
}

void TAVTranscoder::write_trailers() {
  if (FTrailersWritten) return;
  FTrailersWritten = true;
  std::string error;
  for (auto& of : output_files) {
    if (!of->header_written) continue;
    const int ret = av_write_trailer(of->ctx);
    if (ret < 0 && error.empty())
      error = Format("Error writing trailer of %s: %s", of->ctx->url, AVErrorString(ret).c_str());
    if (of->ctx->pb && !(of->ctx->oformat->flags & AVFMT_NOFILE)) {
      if (of == output_files.front()) FClosedTargetSize = OutputSize(of->ctx->pb);
      const int cret = CloseOutputUrl(of->ctx, of->io);
      if (cret < 0 && error.empty())
        error = Format("Error closing file %s: %s", of->ctx->url, AVErrorString(cret).c_str());
    }
  }
  if (!error.empty()) Fail(error);
}

void TAVTranscoder::transcode() {
  const int init = transcode_init();
  if (init < 0) Fail("Error opening filters: " + AVErrorString(init));
  {
    std::lock_guard<std::mutex> lock(C.FFigureLock);
    C.timer_start = av_gettime_relative();
    C.last_time = 0;
  }
  std::string error;
  bool stopped = false;
  try {
    init_input_threads();
    while (need_output()) {
      const int ret = transcode_step();
      if (ret >= 0) {
        C.DoProgress();
        if (Opt.LiveInputs()) drop_while_paused();
        if (!C.CheckPauseAndStop()) {
          stopped = true;
          break;
        }
        print_report(false);
      } else if (ret == AVERROR_EOF) {
        break;
      } else if (ret == AVERROR(EAGAIN)) {
        continue;
      } else {
        error = "Error while transcoding: " + AVErrorString(ret);
        break;
      }
    }
  } catch (const std::exception& e) {
    error = e.what();
  }
  free_input_threads();
  if (error.empty()) {
    try {
      // A stopped conversion still encodes what its decoders hold.
      for (auto& ist : input_streams) {
        if (!ist->decoding_needed) continue;
        if (input_files[static_cast<size_t>(ist->file_index)]->eof_reached) continue;
        while (process_input_packet(*ist, nullptr, false)) {
        }
      }
      reap_filters(true);
      for (int i = 0; i < static_cast<int>(output_files.size()); ++i) pad_dv_sound(i, 0, 1);
      flush_encoders();
      flush_bitstream_filters();
      // What the flush wrote counts too.
      for (auto& ost : output_streams) UpdateProgress(*ost);
    } catch (const std::exception& e) {
      error = e.what();
    }
  }
  // The trailers are written whatever happened, so the partial files play.
  try {
    write_trailers();
  } catch (const std::exception& e) {
    if (error.empty()) error = e.what();
  }
  // A read error ends the run in an error once what was read is in the
  // files: the output is complete as far as it goes, but it is not the whole
  // input.
  if (error.empty())
    for (auto& f : input_files)
      if (f->read_error) {
        error = Format("Error reading input file %s: %s", f->ctx->url, AVErrorString(f->read_error).c_str());
        break;
      }
  print_report(true);
  {
    // Only a run that converted its whole input reads 100; a stopped or
    // failed one keeps the share it reached.
    std::lock_guard<std::mutex> lock(C.FFigureLock);
    C.FFinished = error.empty() && !stopped;
  }
  // The last figures reach the application whatever the throttle says, so a
  // progress bar ends where the conversion ended.
  C.DoProgress(true);
  if (stopped) C.DoStop();
  if (!error.empty()) Fail(error);
}

}  // namespace kivora
