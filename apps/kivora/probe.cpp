// `kivora probe`: reads a file's container and stream information with
// libavformat and prints it.
#include "probe.h"

#include <cmath>
#include <cstdio>
#include <iomanip>
#include <stdexcept>

#include "json.h"
#include "kivora/runtime/ffmpeg.h"
#include "kivora/runtime/utils.h"

namespace kivora::app {

namespace {

std::map<std::string, std::string> Tags(const AVDictionary* d) {
  std::map<std::string, std::string> m;
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(d, "", e, AV_DICT_IGNORE_SUFFIX))) m[e->key] = e->value;
  return m;
}

double Seconds(int64_t ts, AVRational tb) {
  if (ts == AV_NOPTS_VALUE || tb.den == 0) return NAN;
  return ts * av_q2d(tb);
}

std::string TypeName(AVMediaType t) {
  const char* s = av_get_media_type_string(t);
  return s ? s : "unknown";
}

ProbeStream DescribeStream(const AVStream* st) {
  const AVCodecParameters* par = st->codecpar;
  ProbeStream s;
  s.index = st->index;
  s.type = TypeName(par->codec_type);
  s.codec = avcodec_get_name(par->codec_id);
  if (const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id))
    s.codec_long_name = d->long_name ? d->long_name : "";
  if (const char* p = avcodec_profile_name(par->codec_id, par->profile)) s.profile = p;
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    s.width = par->width;
    s.height = par->height;
    if (const char* f = av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format))) s.pix_fmt = f;
  } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
    s.sample_rate = par->sample_rate;
    s.channels = par->ch_layout.nb_channels;
    char layout[128] = {};
    if (av_channel_layout_describe(&par->ch_layout, layout, sizeof layout) > 0)
      s.channel_layout = layout;
    if (const char* f = av_get_sample_fmt_name(static_cast<AVSampleFormat>(par->format)))
      s.sample_fmt = f;
  }
  s.avg_frame_rate_num = st->avg_frame_rate.num;
  s.avg_frame_rate_den = st->avg_frame_rate.den;
  s.r_frame_rate_num = st->r_frame_rate.num;
  s.r_frame_rate_den = st->r_frame_rate.den;
  s.time_base_num = st->time_base.num;
  s.time_base_den = st->time_base.den;
  s.start_time = Seconds(st->start_time, st->time_base);
  s.duration = Seconds(st->duration, st->time_base);
  s.bit_rate = par->bit_rate;
  s.attached_pic = st->disposition & AV_DISPOSITION_ATTACHED_PIC;
  s.default_stream = st->disposition & AV_DISPOSITION_DEFAULT;
  s.metadata = Tags(st->metadata);
  return s;
}

// A rate as a number, NAN for 0/0 (unknown).
double Rate(int num, int den) { return den ? static_cast<double>(num) / den : NAN; }

std::string Fraction(int num, int den) { return std::to_string(num) + "/" + std::to_string(den); }

std::string Fixed(double v, int digits) {
  if (!std::isfinite(v)) return "N/A";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

void PrintTags(std::ostream& out, const std::map<std::string, std::string>& tags,
               const char* indent) {
  if (tags.empty()) return;
  out << indent << "Metadata:\n";
  for (const auto& [key, value] : tags) out << indent << "  " << key << ": " << value << "\n";
}

void JsonTags(JsonWriter& w, const std::map<std::string, std::string>& tags) {
  w.Key("metadata").BeginObject();
  for (const auto& [key, value] : tags) w.Key(key).String(value);
  w.EndObject();
}

// A rate as "25/1" plus its value, null when unknown.
void JsonRate(JsonWriter& w, const char* name, int num, int den) {
  w.Key(name).String(Fraction(num, den));
  w.Key(std::string(name) + "_value").Number(Rate(num, den));
}

}  // namespace

ProbeInfo ProbeFile(const std::string& path) {
  AVFormatContext* raw = nullptr;
  int err = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (err < 0) throw std::runtime_error("cannot open '" + path + "': " + AVErrorString(err));
  AVInputContextPtr fc(raw);
  err = avformat_find_stream_info(fc.get(), nullptr);
  if (err < 0 || fc->nb_streams == 0) {
    const std::string reason = err < 0 ? AVErrorString(err) : "no streams found";
    throw std::runtime_error("cannot open '" + path + "': not a media file (" + reason + ")");
  }
  ProbeInfo info;
  info.file = path;
  info.format_name = fc->iformat->name;
  info.format_long_name = fc->iformat->long_name ? fc->iformat->long_name : "";
  info.duration = Seconds(fc->duration, AV_TIME_BASE_Q);
  info.start_time = Seconds(fc->start_time, AV_TIME_BASE_Q);
  info.bit_rate = fc->bit_rate;
  info.metadata = Tags(fc->metadata);
  for (unsigned i = 0; i < fc->nb_streams; ++i) info.streams.push_back(DescribeStream(fc->streams[i]));
  return info;
}

void PrintProbeText(std::ostream& out, const ProbeInfo& info) {
  out << "File:      " << info.file << "\n";
  out << "Container: " << info.format_long_name << " (" << info.format_name << ")\n";
  out << "Duration:  "
      << (std::isfinite(info.duration) ? GetTimeString(info.duration, false) : std::string("N/A"))
      << " (" << Fixed(info.duration, 3) << " s), start " << Fixed(info.start_time, 6)
      << " s, bit rate ";
  if (info.bit_rate > 0) out << info.bit_rate / 1000 << " kb/s\n";
  else out << "N/A\n";
  PrintTags(out, info.metadata, "  ");
  for (const ProbeStream& s : info.streams) {
    out << "Stream #" << s.index << ": " << s.type << ", " << s.codec;
    if (!s.profile.empty()) out << " (" << s.profile << ")";
    if (s.type == "video") {
      out << ", " << s.width << "x" << s.height;
      if (!s.pix_fmt.empty()) out << ", " << s.pix_fmt;
      if (s.attached_pic) {
        out << ", attached picture";
      } else {
        out << ", " << Fixed(Rate(s.avg_frame_rate_num, s.avg_frame_rate_den), 3) << " fps (r "
            << Fraction(s.r_frame_rate_num, s.r_frame_rate_den) << ")";
      }
    } else if (s.type == "audio") {
      out << ", " << s.sample_rate << " Hz, " << s.channels << " channel"
          << (s.channels == 1 ? "" : "s");
      if (!s.channel_layout.empty()) out << " (" << s.channel_layout << ")";
      if (!s.sample_fmt.empty()) out << ", " << s.sample_fmt;
    }
    if (s.bit_rate > 0) out << ", " << s.bit_rate / 1000 << " kb/s";
    out << ", time base " << Fraction(s.time_base_num, s.time_base_den);
    if (s.default_stream) out << " (default)";
    out << "\n";
    PrintTags(out, s.metadata, "    ");
  }
}

void PrintProbeJson(std::ostream& out, const ProbeInfo& info) {
  JsonWriter w(out);
  w.BeginObject();
  w.Key("file").String(info.file);
  w.Key("format").BeginObject();
  w.Key("name").String(info.format_name);
  w.Key("long_name").String(info.format_long_name);
  w.Key("duration").Number(info.duration);
  w.Key("start_time").Number(info.start_time);
  if (info.bit_rate > 0) w.Key("bit_rate").Int(info.bit_rate);
  else w.Key("bit_rate").Null();
  w.Key("nb_streams").Int(static_cast<int64_t>(info.streams.size()));
  JsonTags(w, info.metadata);
  w.EndObject();
  w.Key("streams").BeginArray();
  for (const ProbeStream& s : info.streams) {
    w.BeginObject();
    w.Key("index").Int(s.index);
    w.Key("type").String(s.type);
    w.Key("codec").String(s.codec);
    w.Key("codec_long_name").String(s.codec_long_name);
    if (!s.profile.empty()) w.Key("profile").String(s.profile);
    if (s.type == "video") {
      w.Key("width").Int(s.width);
      w.Key("height").Int(s.height);
      w.Key("pix_fmt").String(s.pix_fmt);
    } else if (s.type == "audio") {
      w.Key("sample_rate").Int(s.sample_rate);
      w.Key("channels").Int(s.channels);
      w.Key("channel_layout").String(s.channel_layout);
      w.Key("sample_fmt").String(s.sample_fmt);
    }
    JsonRate(w, "avg_frame_rate", s.avg_frame_rate_num, s.avg_frame_rate_den);
    JsonRate(w, "r_frame_rate", s.r_frame_rate_num, s.r_frame_rate_den);
    w.Key("time_base").String(Fraction(s.time_base_num, s.time_base_den));
    w.Key("start_time").Number(s.start_time);
    w.Key("duration").Number(s.duration);
    if (s.bit_rate > 0) w.Key("bit_rate").Int(s.bit_rate);
    else w.Key("bit_rate").Null();
    w.Key("disposition").BeginObject();
    w.Key("default").Bool(s.default_stream);
    w.Key("attached_pic").Bool(s.attached_pic);
    w.EndObject();
    JsonTags(w, s.metadata);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  out << "\n";
}

int RunProbe(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool json = false;
  std::string file;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a.size() > 1 && a[0] == '-') {
      err << "kivora: probe: unknown option '" << a << "'\n";
      return 2;
    } else if (file.empty()) {
      file = a;
    } else {
      err << "kivora: probe: one file at a time ('" << a << "' is one too many)\n";
      return 2;
    }
  }
  if (file.empty()) {
    err << "kivora: probe: no file given (usage: kivora probe FILE [--json])\n";
    return 2;
  }
  const ProbeInfo info = ProbeFile(file);
  if (json) PrintProbeJson(out, info);
  else PrintProbeText(out, info);
  return 0;
}

}  // namespace kivora::app
