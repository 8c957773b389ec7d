#pragma once
// `kivora probe`: what a media file holds, as text or as one JSON object.
#include <QJsonObject>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace kivora::app {

struct ProbeStream {
  int index = 0;
  std::string type;  // "video", "audio", "subtitle", "data", "attachment", "unknown"
  std::string codec;
  std::string codec_long_name;
  std::string profile;
  int width = 0, height = 0;  // video
  std::string pix_fmt;
  int sample_rate = 0, channels = 0;  // audio
  std::string channel_layout;
  std::string sample_fmt;
  int avg_frame_rate_num = 0, avg_frame_rate_den = 0;
  int r_frame_rate_num = 0, r_frame_rate_den = 0;
  int time_base_num = 0, time_base_den = 0;
  double start_time = 0;  // seconds; NAN when unknown
  double duration = 0;    // seconds; NAN when unknown
  int64_t bit_rate = 0;   // 0 when unknown
  bool attached_pic = false;
  bool default_stream = false;
  std::map<std::string, std::string> metadata;
};

struct ProbeInfo {
  std::string file;
  std::string format_name;  // FFmpeg's short name(s), e.g. "mov,mp4,m4a,3gp,3g2,mj2"
  std::string format_long_name;
  double duration = 0;    // seconds; NAN when unknown
  double start_time = 0;  // seconds; NAN when unknown
  int64_t bit_rate = 0;   // 0 when unknown
  std::map<std::string, std::string> metadata;
  std::vector<ProbeStream> streams;
};

// Opens the file and reads its stream information. Throws std::runtime_error
// "cannot open 'FILE': <FFmpeg's reason>" when it is not readable media.
// With a keyFile the file (or http(s) URL) is decrypted with its key.
ProbeInfo ProbeFile(const std::string& path, const std::string& keyFile = "");

void PrintProbeText(std::ostream& out, const ProbeInfo& info);
// The report as one JSON object, and that object printed on one line.
QJsonObject ProbeJson(const ProbeInfo& info);
void PrintProbeJson(std::ostream& out, const ProbeInfo& info);

}  // namespace kivora::app
