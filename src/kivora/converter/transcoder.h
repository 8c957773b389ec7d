#pragma once
// The engine of one conversion: the input and output files and streams, the
// filter graphs, and the routines that open, run and close them. A converter
// makes one TAVTranscoder per Convert on its worker thread; everything FFmpeg
// hands out for the conversion is owned here and freed exactly once, when the
// transcoder is destroyed, whatever path the conversion took.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/bsf.h>
#include <libavutil/threadmessage.h>
}

#include "kivora/converter/converter.h"
#include "kivora/converter/run.h"
#include "kivora/io/url.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

constexpr int DECODING_FOR_OST = 1;
constexpr int DECODING_FOR_FILTER = 2;
constexpr int ENCODER_FINISHED = 1;
constexpr int MUXER_FINISHED = 2;

struct InputStream;
struct OutputStream;
struct TAVFilterGraph;

struct TInputFilter {
  AVFilterContext* filter = nullptr;  // the buffer source
  InputStream* ist = nullptr;
  TAVFilterGraph* graph = nullptr;
  std::string aname;
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  std::string label;  // link label of a complex graph's input
};

struct TOutputFilter {
  AVFilterContext* filter = nullptr;  // the buffer sink
  OutputStream* ost = nullptr;
  TAVFilterGraph* graph = nullptr;
  AVFilterInOutPtr out_tmp;  // unattached output of a complex graph
  std::string aname;
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  std::string label;
};

struct TAVFilterGraph {
  int index = 0;
  std::string graph_desc;  // empty for a simple graph
  AVFilterGraphPtr graph;
  bool configured = false;  // avfilter_graph_config succeeded
  std::vector<std::unique_ptr<TInputFilter>> inputs;
  std::vector<std::unique_ptr<TOutputFilter>> outputs;
};

using AVBSFContextPtr = std::unique_ptr<AVBSFContext, AVDeleter<av_bsf_free>>;
using AVThreadMessageQueuePtr =
    std::unique_ptr<AVThreadMessageQueue, AVDeleter<av_thread_message_queue_free>>;

struct InputFile {
  TUrlIOPtr io;  // the custom I/O of a "stream:", "buffer:" or "bmpcap" input; outlives ctx
  AVInputContextPtr ctx;
  bool eof_reached = false;
  bool eagain = false;
  int ist_index = 0;
  int64_t ts_offset = 0;
  int64_t last_ts = AV_NOPTS_VALUE;
  // The time (AV_TIME_BASE, offset applied) of the first packet dropped in
  // a pause of live inputs; the first packet after it takes this time.
  int64_t pause_first_ts = AV_NOPTS_VALUE;
  int64_t recording_time = INT64_MAX;
  int nb_streams = 0;
  bool rate_emu = false;
  bool rate_emu_started = false;  // its clock starts at the first packet read
  bool ended_early = false;  // cut off or failed before its end (logged once)
  int read_error = 0;        // the read error that ended the input, 0 if none
  // Several inputs: a reader thread per file feeds a bounded queue.
  std::thread thread;
  AVThreadMessageQueuePtr in_thread_queue;
  bool joined = false;
  bool non_blocking = false;
};

struct InputStream {
  int file_index = 0;
  AVStream* st = nullptr;
  bool discard = true;
  int decoding_needed = 0;
  AVCodecContextPtr dec_ctx;
  const AVCodec* dec = nullptr;
  AVDictionaryHolder decoder_opts;
  double ts_scale = 1.0;
  int64_t filter_in_rescale_delta_last = AV_NOPTS_VALUE;
  int64_t start = 0;
  int64_t next_pts = AV_NOPTS_VALUE;
  int64_t next_dts = AV_NOPTS_VALUE;
  int64_t pts = 0;
  int64_t dts = 0;
  bool saw_first_ts = false;
  bool wrap_correction_done = false;
  AVFramePtr decoded_frame;
  AVFramePtr filter_frame;
  AVRational framerate{0, 0};
  int64_t nb_packets = 0;
  int top_field_first = -1;
  int resample_width = 0, resample_height = 0, resample_pix_fmt = -1;
  int resample_sample_fmt = -1, resample_sample_rate = 0, resample_channels = 0;
  AVChannelLayout resample_ch_layout{};
  std::vector<TInputFilter*> filters;
  ~InputStream() { av_channel_layout_uninit(&resample_ch_layout); }
};

struct OutputFile {
  TUrlIOPtr io;                    // the custom I/O of a "stream:" output
  AVFormatContext* ctx = nullptr;  // owned, see the destructor
  std::string url;
  std::string path;      // a plain file path, or empty
  bool created = false;  // this run made the file (it did not exist before)
  AVDictionaryHolder opts;
  int ost_index = 0;
  int64_t recording_time = INT64_MAX;
  int64_t start_time = 0;
  int64_t limit_filesize = INT64_MAX;
  bool header_written = false;
  bool limit_reached = false;
  ~OutputFile();
};

struct OutputStream {
  int file_index = 0;
  int index = 0;
  int source_index = -1;
  AVStream* st = nullptr;
  InputStream* sync_ist = nullptr;
  const AVCodec* enc = nullptr;
  AVCodecContextPtr enc_ctx;
  bool stream_copy = false;
  bool encoding_needed = false;
  int finished = 0;
  bool unavailable = false;
  int64_t max_frames = INT64_MAX;
  AVDictionaryHolder encoder_opts;
  int sws_flags = SWS_BICUBIC;
  AVBSFContextPtr bsf;
  std::string bsf_name;
  std::string avfilter;
  AVRational frame_rate{0, 0};
  AVRational frame_aspect_ratio{0, 0};
  int64_t last_mux_dts = AV_NOPTS_VALUE;
  int64_t sync_opts = 0;
  int64_t first_pts = AV_NOPTS_VALUE;
  int frame_number = 0;
  AVFramePtr last_frame;
  bool last_dropped = false;
  int last_nb0_frames[3] = {0, 0, 0};
  bool is_cfr = false;
  bool copy_started = false;  // stream copy: the first key packet has passed
  TOutputFilter* filter = nullptr;
  AVFramePtr filtered_frame;
  FILE* logfile = nullptr;  // first-pass statistics
  // OnVideoBuffer exchange: the encoder's picture as RGBA and back.
  SwsContextPtr sws_ctx;
  SwsContextPtr sws_ctx_chg;
  AVFramePtr frame_rgb;
  std::unique_ptr<TAVBitmap> bitmap;
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  int64_t end_pts = AV_NOPTS_VALUE;  // last muxed pts + duration, stream time base
  // Sound of a DV file made up with silence up to here (encoder time base):
  // sound of the source that comes later and starts before it is dropped.
  int64_t sound_padded_to = AV_NOPTS_VALUE;
  ~OutputStream();
};

class TAVTranscoder {
public:
  explicit TAVTranscoder(TConvertRun& run);
  ~TAVTranscoder();
  TAVTranscoder(const TAVTranscoder&) = delete;
  TAVTranscoder& operator=(const TAVTranscoder&) = delete;

  // Everything up to the headers: inputs, maps, complex graphs, outputs.
  void OpenAll();
  // The loop; returns normally when it ended (finished or stopped), raises
  // on an error after writing the trailers it can.
  void transcode();
  int64_t SourceFileSize(int index) const;

private:
  friend class TAVConverter;
  // Options and free FFmpeg options.
  void ApplyAdvancedOptions(const TStringList& list);
  void opt_default(const std::string& name, const std::string& value);
  void ApplyTSScale();
  void CheckOptions();

  // Inputs.
  void open_input_file(int index);
  void add_input_streams(AVFormatContext* ic, int file_index);
  void init_input_stream(int index);
  void init_input_threads();
  void free_input_threads();
  int get_input_packet(InputFile& f, AVPacket* pkt);
  InputStream* get_input_stream(const OutputStream& ost);

  // Outputs.
  void opt_map();
  static const AVCodec* FindEncoder(const std::string& name);
  void open_output_file(int index);
  // The complex graph output with this label (with freeOnly, one that no
  // stream has taken yet), or nullptr.
  TOutputFilter* find_labelled_output(const std::string& label, bool freeOnly);
  // "[label]" maps against the parsed graphs, before any output file exists.
  void check_labelled_outputs();
  OutputStream& new_output_stream(AVFormatContext* oc, AVMediaType type, int source_index);
  OutputStream& new_video_stream(AVFormatContext* oc, int source_index);
  OutputStream& new_audio_stream(AVFormatContext* oc, int source_index);
  OutputStream& new_stream_of_type(AVFormatContext* oc, AVMediaType type, int source_index);
  void choose_encoder(AVFormatContext* oc, OutputStream& ost, const std::string& name);
  void InitOutputParams();

  // Filters.
  void opt_filter_complex(const std::string& desc);
  int configure_complex_filters();
  TAVFilterGraph& init_simple_filtergraph(InputStream& ist, OutputStream& ost);
  int configure_filtergraph(TAVFilterGraph& fg);
  void init_input_filter(TAVFilterGraph& fg, AVFilterInOut* in);
  void init_output_filter(TOutputFilter& ofilter, AVFormatContext* oc);
  int configure_input_filter(TAVFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut* in);
  int configure_output_filter(TAVFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut* out);
  int configure_input_video_filter(TAVFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut* in);
  int configure_input_audio_filter(TAVFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut* in);
  int configure_output_video_filter(TAVFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut* out);
  int configure_output_audio_filter(TAVFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut* out);
  bool ist_in_filtergraph(const TAVFilterGraph& fg, const InputStream* ist) const;
  int insert_start_trim(TAVFilterGraph& fg, InputStream& ist, const char* filter, AVFilterContext*& last);
  // Pulls everything a graph still holds into the encoders (before a rebuild).
  void drain_filtergraph(TAVFilterGraph& fg);

  // Set-up.
  int transcode_init();
  void init_stream_copy(OutputStream& ost, InputStream* ist);
  void init_encoding(OutputStream& ost, InputStream* ist);
  void init_two_pass(OutputStream& ost);
  void init_video_buffer_exchange(OutputStream& ost);
  void init_bitstream_filter(OutputStream& ost);
  std::string PassLogName(const OutputStream& ost, bool reading) const;

  // Loop.
  bool need_output();
  OutputStream* Choose_output();
  bool got_eagain() const;
  void reset_eagain();
  int transcode_step();
  int transcode_step_live();
  int transcode_from_filter(TAVFilterGraph& fg, InputStream** best_ist);
  int process_input(int file_index);
  // While paused: reads the live inputs and drops what they deliver.
  void drop_while_paused();
  bool process_input_packet(InputStream& ist, const AVPacket* pkt, bool no_eof);
  int decode_audio(InputStream& ist, AVPacket* pkt, bool& got_output);
  int decode_video(InputStream& ist, AVPacket* pkt, bool& got_output, bool eof);
  int transcode_subtitles(InputStream& ist, AVPacket* pkt, bool& got_output);
  int send_frame_to_filters(InputStream& ist, AVFrame* frame);
  int send_filter_eof(InputStream& ist);
  int reap_filters(bool flush);
  void reap_one(OutputStream& ost, AVFrame* frame, TOutputFilter& ofilter);
  bool check_output_constraints(const InputStream& ist, const OutputStream& ost) const;
  bool check_recording_time(OutputStream& ost);
  void close_output_stream(OutputStream& ost);
  void finish_output_stream(OutputStream& ost);
  double get_current_pts(const OutputStream& ost) const;
  void OfferVideoBuffer(OutputStream& ost, AVFrame*& frame, AVFramePtr& holder);

  // Encoding and muxing.
  void do_video_out(OutputStream& ost, AVFrame* frame, double sync_ipts);
  void do_audio_out(OutputStream& ost, AVFrame* frame);
  void do_subtitle_out(OutputStream& ost, InputStream& ist, AVSubtitle* sub);
  void do_streamcopy(InputStream& ist, OutputStream& ost, const AVPacket* pkt);
  // Sends a frame (nullptr: drain) to the encoder and writes what comes out.
  void encode_frame(OutputStream& ost, AVFrame* frame, const char* failMessage);
  void write_frame(AVPacket* pkt, OutputStream& ost);
  void write_packet(AVPacket* pkt, OutputStream& ost);
  void flush_encoders();
  // Sends the end through every bitstream filter and writes what comes out.
  void flush_bitstream_filters();
  // DV: when the pictures of the file are more than lag seconds ahead of its
  // sound, the sound is made up with silence up to the pictures' end plus
  // extraPictures pictures.
  void pad_dv_sound(int file_index, double lag, int extraPictures);
  void do_video_stats(OutputStream& ost, int frame_size);
  void write_trailers();
  // Writes the header of a copy of the file into memory, so that a muxer
  // that refuses the streams does so before the real file is touched.
  int try_header(const OutputFile& of);
  // Opens the byte output of every file, then writes the headers. A failure
  // removes the files this run created.
  void open_outputs_and_write_headers();
  void print_report(bool is_last);
  static int64_t OutputSize(AVIOContext* pb);
  void UpdateProgress(OutputStream& ost);
  double GraphInputsShare(const TAVFilterGraph& fg) const;

  TConvertRun& C;
  const TAVConvertOptions& Opt;
  std::atomic<bool>& FInputAbort;
  std::atomic<bool>& FOutputAbort;
  // Set once the loop no longer reads: a reader thread blocked on a silent
  // input is woken through the interrupt callback so it can be joined.
  std::atomic<bool> FReadersDone{false};
  static int InputInterrupted(void* opaque) noexcept;
  AVIOInterruptCB FInputInterrupt{};
  AVIOInterruptCB FOutputInterrupt{};

  AVDictionaryHolder codec_opts;
  AVDictionaryHolder format_opts;
  int _AudioChannels = 0;
  int _AudioSampleRate = 0;
  int _AudioSampleFmt = -1;
  int _FrameWidth = 0;
  int _FrameHeight = 0;
  int64_t TempStartTime = 0;

  std::vector<std::unique_ptr<InputFile>> input_files;
  std::vector<std::unique_ptr<InputStream>> input_streams;
  std::vector<std::unique_ptr<OutputFile>> output_files;
  std::vector<std::unique_ptr<OutputStream>> output_streams;
  std::vector<std::unique_ptr<TAVFilterGraph>> filtergraphs;
  // One per input stream a StreamMaps line selects, or one per "[label]"
  // line (label set, the indexes -1): a labelled complex graph output.
  struct AVStreamMap {
    int file_index, stream_index, sync_file_index, sync_stream_index;
    int line;  // the StreamMaps line it came from
    std::string label;
  };
  std::vector<AVStreamMap> stream_maps;
  std::vector<uint8_t> subtitle_out;
  std::vector<int64_t> FSourceSizes;
  bool FThreadsStarted = false;
  bool FTrailersWritten = false;
  int64_t FClosedTargetSize = 0;  // the first output's size when it was closed
};

// Text without leading and trailing blanks (option values, names).
inline std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// A plain file path (no protocol such as "http:" or "pipe:"), with "file:"
// stripped into path.
bool PlainPath(const std::string& name, std::string& path);

// Errors of the conversion: the exception text is what OnError reports.
[[noreturn]] void Fail(const std::string& msg);

}  // namespace kivora
