// Opening the input and the read thread: packets from the demuxer into the
// three packet queues, seeks, stream switches and the end of the input.
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "kivora/platform/exception.h"
#include "kivora/platform/mainthread.h"
#include "kivora/platform/thread.h"
#include "kivora/player/audio/mixer.h"
#include "kivora/player/player_impl.h"
#include "kivora/player/movie.h"
#include "kivora/runtime/clocale.h"
#include "kivora/runtime/cmdutils.h"

namespace kivora {

namespace {

std::mutex& InterruptLock() {
  static std::mutex m;
  return m;
}

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return s.size() >= n && av_strncasecmp(s.c_str(), prefix, n) == 0;
}

}  // namespace

int TAVPlayer::Impl::decode_interrupt_cb(void* opaque) {
  auto* p = static_cast<TAVPlayer::Impl*>(opaque);
  std::lock_guard<std::mutex> g(InterruptLock());
  const int64_t now = av_gettime_relative();
  bool result = p->FAbortRequest.load();
  const int64_t readTime = p->FReadTime.load();
  if (readTime != 0 && now - readTime > static_cast<int64_t>(p->FTimeout.load()) * 1000000) result = true;
  return result ? 1 : 0;
}

bool TAVPlayer::Impl::is_realtime(AVFormatContext* ic) const {
  const char* name = ic && ic->iformat ? ic->iformat->name : "";
  if (!av_strcasecmp(name, "rtp") || !av_strcasecmp(name, "rtsp") || !av_strcasecmp(name, "sdp")) return true;
  if (ic && ic->pb && (StartsWithNoCase(FMovie, "rtp:") || StartsWithNoCase(FMovie, "udp:"))) return true;
  return false;
}

bool TAVPlayer::Impl::OpenMovieInternal() {
  TThreadLoggerGuard logger(&q);
  // OnStart and OnConnectionError run on the GUI thread (or here, without
  // one) while this thread waits; either may close, reopen or destroy the
  // player.
  // OnStart belongs to the movie: a close before the GUI thread gets to it
  // cancels it, so the close never waits for the GUI loop. OnConnectionError
  // comes after the movie is gone and always runs.
  auto raise = [this](void (TAVPlayer::Impl::*event)()) {
    THandlerResult r;
    auto call = [&] {
      FOpenerHandlerThread = std::this_thread::get_id();
      r = RunHandler([&] { (this->*event)(); });
      if (r.alive) FOpenerHandlerThread = std::thread::id();
    };
    if (event == &TAVPlayer::Impl::DoStart) RunOnGui(call);
    else MainThread::Synchronize(call);
    return r;
  };
  try {
    const std::string fmt = Trim(FInputFormat);
    if (!fmt.empty()) FM->FFormat = FindInputFormat(fmt);
    {
      // Option values and filter texts are read with C number rules.
      TCLocaleScope numbers;
      if (!Stream_Open()) throw Exception("Failed to initialize Video!");
      if (FInitPaused.load()) Pause();
    }
    // From here CloseMovie closes the movie like any other.
    SetState(TLifeState::Playing);
    if (!FAbortRequest.load()) {
      const THandlerResult r = raise(&TAVPlayer::Impl::DoStart);
      if (!r.alive) return false;
      // A failing OnStart fails the open, as any other failure does.
      if (r.threw) throw Exception("OnStart failed: " + r.error);
    }
    if (FInitPaused.load() && !FAbortRequest.load()) StepForward();
  } catch (const std::exception& e) {
    const bool cancelled = FAbortRequest.load();
    // Whatever was started is stopped and freed before the failure is told.
    FAbortRequest = true;
    TLifeState state;
    {
      std::lock_guard<std::mutex> g(FStateLock);
      state = FState;
    }
    if (state == TLifeState::Opening) {
      CloseThreads();
      SetState(TLifeState::Idle);
    } else if (state == TLifeState::Playing) {
      // Failed after the movie was up (its OnStart threw): closed the usual way.
      StartCloser();
    }
    FOutputPixelFormat = -1;
    if (FBlockOpen.load()) {
      const std::string msg = std::string("Failed to open the file:") + e.what() + " " + LastErrorMessage();
      FBlockOpen = true;
      throw Exception(msg);
    }
    FBlockOpen = true;
    if (cancelled) return true;  // closed while opening: nothing to report
    std::string msg = e.what();
    if (Trim(msg).empty()) msg = "Failed to open the video";
    SetLastError(msg);
    if (!raise(&TAVPlayer::Impl::DoError).alive) return false;
  }
  FBlockOpen = true;
  return true;
}

bool TAVPlayer::Impl::Stream_Open() {
  {
    // Without a GUI thread the movie's refresh thread writes the views from
    // here on; what threads of the movie ask for before it runs waits for it.
    std::lock_guard<std::mutex> g(FViewCallLock);
    FViewWriter = !MainThread::HasGuiThread();
  }
  ClearStreamSwitches();
  FResumePosition = 0;
  FIcyAvailable = false;
  UpdateIcy();
  {
    std::lock_guard<std::mutex> g(FPictQMutex);
    pictq_size = pictq_rindex = pictq_windex = 0;
  }
  for (const std::string& line : FOptions) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = Trim(line.substr(0, eq));
    const std::string value = line.substr(eq + 1);
    if (name.empty()) continue;
    const AVClass* cc = avcodec_get_class();
    const AVClass* fc = avformat_get_class();
    if (const AVOption* o = opt_find(&cc, name.c_str(), nullptr, 0, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ))
      av_dict_set(&FM->codec_opts, name.c_str(), value.c_str(), o->type == AV_OPT_TYPE_FLAGS ? AV_DICT_APPEND : 0);
    if (const AVOption* o = opt_find(&fc, name.c_str(), nullptr, 0, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ))
      av_dict_set(&FM->format_opts, name.c_str(), value.c_str(), o->type == AV_OPT_TYPE_FLAGS ? AV_DICT_APPEND : 0);
  }

  AVFormatContext* ic = avformat_alloc_context();
  if (!ic) throw Exception(Format("Can not open file %s with error!", FMovie.c_str()));
  ic->interrupt_callback.callback = decode_interrupt_cb;
  ic->interrupt_callback.opaque = this;
  // Opening is timed like a read: Timeout also ends an input that never
  // answers.
  FReadTime = av_gettime_relative();
  const int opened = OpenInputUrl(&ic, FMovie, FM->FFormat, &FM->format_opts, FM->FIO);
  FReadTime = 0;
  if (opened != 0) throw Exception(Format("Can not open file %s with error!", FMovie.c_str()));
  FM->FIc = ic;
  FIcyAvailable = FM->FIc->pb && av_opt_find(FM->FIc->pb, "icy_metadata_packet", nullptr, 0, AV_OPT_SEARCH_CHILDREN);
  UpdateIcy();
  if (const AVDictionaryEntry* t = av_dict_get(FM->format_opts.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX))
    throw Exception(Format("Option %s not found!", t->key));
  av_format_inject_global_side_data(FM->FIc);
  {
    TStreamOptions opts = setup_find_stream_info_opts(FM->FIc, FM->codec_opts.get());
    if (FM->FIc->ctx_flags & AVFMTCTX_NOHEADER) {
      FM->FIc->probesize *= 10;
      FM->FIc->max_analyze_duration *= 10;
      if (FM->FIc->pb) FM->FIc->pb->max_packet_size = 2097152;
    }
    FReadTime = av_gettime_relative();
    const int found = avformat_find_stream_info(FM->FIc, opts.data());
    FReadTime = 0;
    if (found < 0) return false;
  }
  if (FM->FIc->pb) FM->FIc->pb->eof_reached = 0;
  max_frame_duration = 10.0;
  FContainerStartTime = FM->FIc->start_time;
  FContainerDuration = FM->FIc->duration;
  // The playable duration is known before the read thread starts: it decides
  // which packets are in range.
  // Duration is where the playable part ends, counted like positions from
  // the file's start: a StartTime does not move the end.
  {
    const int64_t end = FEndTime.load() != AV_NOPTS_VALUE ? FEndTime.load() : FContainerDuration.load();
    FInfinite = FContainerDuration.load() == AV_NOPTS_VALUE;
    FDuration = FInfinite.load() && FEndTime.load() == AV_NOPTS_VALUE ? -1.0 : end / 1000000.0;
  }

  if (FStartTime.load() != AV_NOPTS_VALUE) {
    const int64_t ts = PositionBase() + FStartTime.load();
    const int ret =
        avformat_seek_file(FM->FIc, -1, std::numeric_limits<int64_t>::min(), ts, std::numeric_limits<int64_t>::max(), 0);
    // An input that cannot seek (a pipe, a live stream) plays from where it
    // is; say so rather than start somewhere else without a word.
    if (ret < 0)
      DoLog(AV_LOG_WARNING, Format("%s: could not seek to the start time %.3f s (%s); playing from where the input is",
                                   FMovie.c_str(), static_cast<double>(FStartTime.load()) / 1000000.0,
                                   AVErrorString(ret).c_str()));
  }
  FIsRealTime = is_realtime(FM->FIc);
  InitQueue();

  int video = -1, audio = -1, subtitle = -1;
  if (!FDisableVideo.load()) video = av_find_best_stream(FM->FIc, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (!FDisableAudio.load()) audio = av_find_best_stream(FM->FIc, AVMEDIA_TYPE_AUDIO, -1, video, nullptr, 0);
  if (!FDisableSubtitle.load() && !FDisableVideo.load())
    subtitle = av_find_best_stream(FM->FIc, AVMEDIA_TYPE_SUBTITLE, -1, audio >= 0 ? audio : video, nullptr, 0);

  {
    std::lock_guard<std::mutex> g(FStreamLock);
    ClearStreamLists();
    for (unsigned i = 0; i < FM->FIc->nb_streams; i++) {
      AVStream* st = FM->FIc->streams[i];
      // Streams are decoded only once chosen; the rest is not demuxed in vain.
      st->discard = AVDISCARD_ALL;
      const int idx = static_cast<int>(i);
      switch (st->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
          if (FDisableVideo.load()) break;
          FVideoPropList.push_back(std::make_unique<TAVStreamProperties>(st));
          FVideoIdxList.push_back(idx);
          if (idx == video) FVideoStreamIndex = static_cast<int>(FVideoIdxList.size()) - 1;
          break;
        case AVMEDIA_TYPE_AUDIO:
          if (FDisableAudio.load()) break;
          FAudioPropList.push_back(std::make_unique<TAVStreamProperties>(st));
          FAudioIdxList.push_back(idx);
          if (idx == audio) FAudioStreamIndex = static_cast<int>(FAudioIdxList.size()) - 1;
          break;
        case AVMEDIA_TYPE_SUBTITLE:
          FSubtitlePropList.push_back(std::make_unique<TAVStreamProperties>(st));
          FSubtitleIdxList.push_back(idx);
          if (idx == subtitle) FSubtitleStreamIndex = static_cast<int>(FSubtitleIdxList.size()) - 1;
          break;
        default:
          break;
      }
    }
  }
  if (FVideoStreamIndex.load() < 0 && FAudioStreamIndex.load() < 0) throw Exception("Could not open codecs");

  // Clocks first: the decoder threads created below read them at once.
  init_clock(vidclk, FVideoQ->SerialPtr());
  init_clock(audclk, FAudioQ->SerialPtr());
  init_own_clock(extclk);
  FVideoMoving = false;
  FVideoFrameRate = 0;

  if (FVideoStreamIndex.load() < 0) {
    FSubtitleStreamIndex = -1;
  } else if (!InitVideo()) {
    DisableCurrVideoStream();
  }
  if (FAudioStreamIndex.load() >= 0) {
    // Without a sound device (or a mixer channel) the picture plays alone.
    if (!TryInit(&TAVPlayer::Impl::InitAudio)) {
      FreeAudioCtxQuietly();
      DisableCurrAudioStream();
    }
  }
  if (FSubtitleStreamIndex.load() >= 0 && !InitSubtitle()) DisableCurrSubtitleStream();
  if (FVideoStreamIndex.load() < 0 && FAudioStreamIndex.load() < 0) throw Exception("Could not open codecs");

  CopyMetadatas();
  ViewsFromMovie([this] { UpdateCoverSize(); });

  FM->FRefreshThread = std::thread([this] { RefreshThreadExecute(); });
  FM->FReadThread = std::thread([this] { ReadThreadExecute(); });
  // While the threads read and decode the first picture.
  if (FVideoStreamIndex.load() >= 0) {
    WarmPictureMemory();
    PresizeViews();
  }
  return true;
}

void TAVPlayer::Impl::InitQueue() {
  // The queues are the player's; a new movie starts them empty and stopped
  // (each decoder starts its own).
  for (TAVPacketQueue* q : {FVideoQ.get(), FAudioQ.get(), FSubtitleQ.get()}) {
    q->Abort();
    q->Flush();
  }
}

void TAVPlayer::Impl::FreeQueue() {
  if (FVideoQ) FVideoQ->Abort();
  if (FAudioQ) FAudioQ->Abort();
  if (FSubtitleQ) FSubtitleQ->Abort();
}

void TAVPlayer::Impl::ReadSignal() {
  std::lock_guard<std::mutex> g(wait_mutex);
  continue_read_thread.notify_all();
}

bool TAVPlayer::Impl::ReadThreadWanted() const {
  return FAbortRequest.load() || FSeekReq.load() || FVideoStreamChanged.load() || FAudioStreamChanged.load() ||
         FSubtitleStreamChanged.load() || queue_attachments_req.load() || FMetadataRequest.load() ||
         FPaused.load() != FM->FLastPaused;
}

bool TAVPlayer::Impl::QueuesFull() const {
  const int queued = FAudioQ->Size() + FVideoQ->Size() + FSubtitleQ->Size();
  if (!FIsRealTime.load() && queued > MAX_QUEUE_SIZE) return true;
  auto satisfied = [](int streamPos, const TAVPacketQueue& q, bool attached) {
    return streamPos < 0 || q.Aborted() || attached || q.NbPackets() > MIN_FRAMES;
  };
  const bool videoAttached = FM->FVideoStream && (FM->FVideoStream->disposition & AV_DISPOSITION_ATTACHED_PIC);
  // Nothing takes packets (a cover picture whose sound could not be opened):
  // the input is read on to its end, so the movie ends instead of waiting
  // for ever.
  const bool anyReader = FAudioStreamIndex.load() >= 0 || (FVideoStreamIndex.load() >= 0 && !videoAttached) ||
                         FSubtitleStreamIndex.load() >= 0;
  if (!anyReader) return false;
  return satisfied(FAudioStreamIndex.load(), *FAudioQ, false) &&
         satisfied(FVideoStreamIndex.load(), *FVideoQ, videoAttached) &&
         satisfied(FSubtitleStreamIndex.load(), *FSubtitleQ, false);
}

void TAVPlayer::Impl::WaitForRead(const std::function<bool()>& ready) {
  std::unique_lock<std::mutex> g(wait_mutex);
  // Set before the condition is looked at: a decoder that takes a packet
  // after that look sees the flag and wakes us.
  FReadWaiting = true;
  continue_read_thread.wait(g, [&] { return ReadThreadWanted() || ready(); });
  FReadWaiting = false;
}

void TAVPlayer::Impl::stream_seek(int64_t pos, int64_t rel, bool unlessPending) {
  {
    std::lock_guard<std::mutex> g(FSeekLock);
    if (unlessPending && FSeekReq.load()) return;
    FSeekPos = pos;
    FSeekRel = rel;
    FSeekGen++;
    FSeekReq = true;
  }
  ReadSignal();
}

AVStream* TAVPlayer::Impl::StreamAt(const std::vector<int>& list, int position) const {
  if (!FM->FIc || position < 0 || position >= static_cast<int>(list.size())) return nullptr;
  const int idx = list[static_cast<size_t>(position)];
  if (idx < 0 || idx >= static_cast<int>(FM->FIc->nb_streams)) return nullptr;
  return FM->FIc->streams[idx];
}

void TAVPlayer::Impl::SignalFinishEvent() {
  const bool hasVideo = FVideoStreamIndex.load() >= 0 && FVideoQ;
  const bool hasAudio = FAudioStreamIndex.load() >= 0 && FAudioQ;
  AVPacket* eof = av_packet_alloc();
  if (!eof) return;
  eof->data = FEofPkt->data;
  if (hasVideo && !hasAudio) {
    FVideoQ->Put(eof);
  } else if (hasAudio && !hasVideo) {
    FAudioQ->Put(eof);
  } else if (hasAudio && hasVideo) {
    if (FLastPktType == 2) FVideoQ->Put(eof);
    else FAudioQ->Put(eof);
    FLastPktType = 0;
  }
  eof->data = nullptr;
  av_packet_free(&eof);
}

void TAVPlayer::Impl::ReadThreadExecute() {
  // Named for debuggers and for /proc (tests look at its wake-ups there).
  pthread_setname_np(pthread_self(), "kivora-read");
  TThreadLoggerGuard logger(&q);
  TCLocaleScope numbers;
  bool eof = false;
  bool last_pkt_in_range = false;
  AVPacketPtr pkt(av_packet_alloc());
  if (!pkt) return;

  try {
    while (!FAbortRequest.load()) {
      if (FMetadataRequest.exchange(false)) CopyMetadatas();
      const bool paused = FPaused.load();
      if (paused != FM->FLastPaused) {
        FM->FLastPaused = paused;
        if (paused) FReadPauseReturn = av_read_pause(FM->FIc);
        else av_read_play(FM->FIc);
      }
      if (paused && ((FM->FIc->iformat && !std::strcmp(FM->FIc->iformat->name, "rtsp")) ||
                     (FM->FIc->pb && StartsWithNoCase(FMovie, "mmsh:")))) {
        // Such inputs are not read while paused: until the resume.
        WaitForRead([] { return false; });
        continue;
      }

      if (FSeekReq.load()) {
        int64_t target, rel;
        uint64_t gen;
        {
          std::lock_guard<std::mutex> g(FSeekLock);
          target = FSeekPos.load();
          rel = FSeekRel.load();
          gen = FSeekGen;
        }
        int64_t min = rel > 0 ? target - rel + 2 : std::numeric_limits<int64_t>::min();
        int64_t max = rel < 0 ? target - rel - 2 : std::numeric_limits<int64_t>::max();
        if (FSeekPositionMode.load() == spForwardRequest) min = target;
        else if (FSeekPositionMode.load() == spBackwardRequest) max = target;
        // A window that excludes the target would make the seek fail.
        min = std::min(min, target);
        max = std::max(max, target);
        const int flags = FSeekMode.load() == smAnyFrame ? AVSEEK_FLAG_ANY : 0;
        const int ret = avformat_seek_file(FM->FIc, -1, min, target, max, flags);
        if (ret >= 0) {
          if (FAudioStreamIndex.load() >= 0) {
            FAudioQ->Flush();
            FAudioQ->Put(FFlushPkt);
          }
          if (FSubtitleStreamIndex.load() >= 0) {
            FSubtitleQ->Flush();
            FSubtitleQ->Put(FFlushPkt);
          }
          if (FVideoStreamIndex.load() >= 0) {
            // Packets first: while the decoder still has old packets it keeps
            // the picture queue filled, and with a long input buffered (a
            // sparse subtitle stream lets the queues grow to their byte
            // limit) the wait below would last until all of them were shown.
            FVideoQ->Flush();
            FVideoQ->Put(FFlushPkt);
            // The pictures waiting for their time are obsolete now: the
            // refresh thread drops them at once instead of when they are
            // due, and the decoder blocked on the full queue moves on.
            KickRefresh();
            if (!FPaused.load()) FlushVideoQueue();
          }
          set_clock(extclk, static_cast<double>(target) / 1000000.0, 0);
          FResumePosition = std::max(0.0, static_cast<double>(target - PositionBase()) / 1000000.0);
        } else {
          DoLog(AV_LOG_WARNING, "seek failed: " + AVErrorString(ret));
        }
        {
          // A newer request stays asked for and is served next.
          std::lock_guard<std::mutex> g(FSeekLock);
          if (FSeekGen == gen) FSeekReq = false;
        }
        queue_attachments_req = true;
        eof = false;
        StepAfterSeek();
      }

      // Before the waits for full queues: a switch while paused (when
      // nothing drains the queues) is carried out at once.
      HandleStreamSwitches();

      if (queue_attachments_req.load()) {
        AVStream* vs = FM->FVideoStream;
        if (vs && (vs->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
          AVPacketPtr copy(av_packet_alloc());
          if (!copy || av_packet_ref(copy.get(), &vs->attached_pic) < 0)
            throw Exception("Failed to copy attached picture");
          FVideoQ->Put(copy.get());
          FVideoQ->put_nullpacket(vs->index);
        }
        queue_attachments_req = false;
      }

      // Enough queued: the thread sleeps until a decoder takes a packet (or
      // anything else it serves comes), never polling.
      if (QueuesFull()) {
        WaitForRead([this] { return !QueuesFull(); });
        continue;
      }

      FReadTime = av_gettime_relative();
      const int ret = ReadInputFrame(FM->FIc, FM->FIO.get(), pkt.get());
      FReadTime = 0;
      if (ret < 0) {
        // A failed read (an interrupted one too) is an error, not the end of
        // the input. avio_feof may read again, so it is timed like a read.
        const bool failed = FM->FIc->pb && FM->FIc->pb->error && FM->FIc->pb->error != AVERROR_EOF;
        bool at_end = ret == AVERROR_EOF;
        if (!eof && !failed && !at_end && FM->FIc->pb) {
          FReadTime = av_gettime_relative();
          at_end = avio_feof(FM->FIc->pb) != 0;
          FReadTime = 0;
        }
        const bool reached_end = !eof && (at_end || failed);
        if (reached_end) {
          eof = true;
          SignalFinishEvent();
        }
        if (FM->FIc->pb && FM->FIc->pb->error) {
          DoLog(AV_LOG_ERROR, "read failed: " + AVErrorString(FM->FIc->pb->error));
          break;
        }
        if (eof) {
          // The decoders are told to drain once; then the thread sleeps until
          // a seek, a stream switch or the close wakes it.
          if (reached_end) {
            if (FVideoStreamIndex.load() >= 0 && FM->FVideoStream) FVideoQ->put_nullpacket(FM->FVideoStream->index);
            if (FAudioStreamIndex.load() >= 0 && FM->FAudioStream) FAudioQ->put_nullpacket(FM->FAudioStream->index);
            if (FSubtitleStreamIndex.load() >= 0 && FM->FSubtitleStream)
              FSubtitleQ->put_nullpacket(FM->FSubtitleStream->index);
          }
          std::unique_lock<std::mutex> g(wait_mutex);
          continue_read_thread.wait(g, [this] {
            return FAbortRequest.load() || FSeekReq.load() || FVideoStreamChanged.load() ||
                   FAudioStreamChanged.load() || FSubtitleStreamChanged.load() || queue_attachments_req.load() ||
                   FMetadataRequest.load();
          });
          continue;
        }
        // A read that failed for now (no data yet): tried again shortly,
        // or at once when something else comes.
        {
          std::unique_lock<std::mutex> g(wait_mutex);
          continue_read_thread.wait_for(g, std::chrono::milliseconds(10), [this] { return ReadThreadWanted(); });
        }
        continue;
      }
      eof = false;
      UpdateIcy();

      AVStream* st = FM->FIc->streams[pkt->stream_index];
      // The packet's position, counted from the file's start like EndTime.
      const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
      const double t = ts == AV_NOPTS_VALUE ? 0.0 : ts * av_q2d(st->time_base) - static_cast<double>(PositionBase()) / 1000000.0;
      const bool in_range = FEndTime.load() == AV_NOPTS_VALUE || t <= FDuration.load();
      if (last_pkt_in_range && !in_range) SignalFinishEvent();
      last_pkt_in_range = in_range;

      if (FM->FAudioStream && pkt->stream_index == FM->FAudioStream->index && in_range && !FDisableAudio.load()) {
        FAudioQ->Put(pkt.get());
        FLastPktType = 1;
      } else if (FM->FVideoStream && pkt->stream_index == FM->FVideoStream->index && in_range &&
                 !(FM->FVideoStream->disposition & AV_DISPOSITION_ATTACHED_PIC) && !FDisableVideo.load()) {
        FVideoQ->Put(pkt.get());
        FLastPktType = 2;
      } else if (FM->FSubtitleStream && pkt->stream_index == FM->FSubtitleStream->index && in_range &&
                 !FDisableSubtitle.load()) {
        FSubtitleQ->Put(pkt.get());
      } else {
        av_packet_unref(pkt.get());
      }
    }
  } catch (const std::exception& e) {
    DoLog(AV_LOG_ERROR, e.what());
  }
  // A read error only ends reading; the movie stays open until it is closed.
  {
    std::unique_lock<std::mutex> g(wait_mutex);
    continue_read_thread.wait(g, [this] { return FAbortRequest.load(); });
  }
  ReleaseAudioThreadState();  // stream switches may have opened sound here
}

// A stream whose decoder or mixer channel cannot be opened is reported
// (OnLog, LastErrorMessage) and left off; playback goes on without it.
bool TAVPlayer::Impl::TryInit(bool (TAVPlayer::Impl::*init)()) {
  try {
    if ((this->*init)()) return true;
    DoLog(AV_LOG_ERROR, "Could not open the stream's decoder");
  } catch (const std::exception& e) {
    DoLog(AV_LOG_ERROR, e.what());
  }
  return false;
}

void TAVPlayer::Impl::FreeAudioCtxQuietly() {
  try {
    FreeAudioCtx();
  } catch (const std::exception& e) {
    DoLog(AV_LOG_ERROR, e.what());
  }
}

void TAVPlayer::Impl::HandleStreamSwitches() {
  // Each switch stops the old decoder, opens the new one and restarts the
  // same packet queue: Start queues a flush marker, so the new serial makes
  // everything decoded from the old stream obsolete (pictures still queued
  // are dropped by the display, clocks read NaN until the new data arrives).
  // The new stream's packets were discarded by the demuxer so far, so the
  // input is sent back to where playback is, and every stream goes on from
  // there together.
  int pos = -1;
  unsigned serial = 0;
  if (TakeStreamSwitch(FVideoRequest, FVideoStreamChanged, pos, serial)) {
    const double resume = ResumePosition();
    FVideoQ->Abort();
    WakeQueueWaiters();
    // The old decoder thread leaves on the aborted queue; it must be gone
    // before its codec context and filter graph are freed.
    JoinThreads(FM->FVideoThreads);
    FreeVideoCtx();
    DestroyVideoFilterGraph();
    FVideoQ->Flush();
    FVideoStreamIndex = pos;
    if (TryInit(&TAVPlayer::Impl::InitVideo)) {
      ResumeAt(resume);
    } else {
      FreeVideoCtx();
      DisableCurrVideoStream();
    }
    CopyMetadatas();
    EndStreamSwitch(FVideoRequest, FVideoStreamChanged, serial);
  }
  if (TakeStreamSwitch(FAudioRequest, FAudioStreamChanged, pos, serial)) {
    const double resume = ResumePosition();
    FAudioQ->Abort();
    FreeAudioCtx();
    FAudioQ->Flush();
    FAudioStreamIndex = pos;
    if (TryInit(&TAVPlayer::Impl::InitAudio)) {
      ResumeAt(resume, true);
    } else {
      FreeAudioCtxQuietly();
      DisableCurrAudioStream();
    }
    CopyMetadatas();
    EndStreamSwitch(FAudioRequest, FAudioStreamChanged, serial);
  }
  if (TakeStreamSwitch(FSubtitleRequest, FSubtitleStreamChanged, pos, serial)) {
    FSubtitleQ->Abort();
    WakeQueueWaiters();
    FreeSubtitleCtx();
    FSubtitleQ->Flush();
    FSubtitleStreamIndex = pos;
    if (pos >= 0) {
      if (TryInit(&TAVPlayer::Impl::InitSubtitle)) {
        // Subtitles already shown were read before the switch; a seek to
        // where playback is brings the new stream's current one.
        ResumeAt(ResumePosition(), true);
      } else {
        FreeSubtitleCtx();
        DisableCurrSubtitleStream();
      }
    }
    CopyMetadatas();
    EndStreamSwitch(FSubtitleRequest, FSubtitleStreamChanged, serial);
  }
}

// Seeks to a position (seconds from the start) for a stream switch. A seek
// the application asked for and not yet carried out wins.
//
// A new video stream has to start at a key frame at or before the position.
// A new sound or subtitle stream goes on from the first key frame at or after
// it, so the picture never runs backwards for a change the viewer cannot see.
void TAVPlayer::Impl::ResumeAt(double position, bool forwardOnly) {
  if (FSeekReq.load()) return;
  FResumePosition = position;
  // rel 2 makes the window start at the target itself (see the seek step).
  stream_seek(PositionBase() + static_cast<int64_t>(position * 1000000.0), forwardOnly ? 2 : 0, true);
}

}  // namespace kivora
