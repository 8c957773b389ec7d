// `kivora probe`: reads a file's container and stream information with
// libavformat and prints it.
#include "probe.h"

#include <cmath>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "commands.h"
#include "crypt_cmd.h"
#include "json_output.h"
#include "pipes.h"
#include "kivora/io/url.h"
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

// A rate as "25/1" plus its value, null when unknown.
void JsonRate(QJsonObject& o, const char* name, int num, int den) {
  o.insert(name, JsonString(Fraction(num, den)));
  o.insert(QString(name) + "_value", JsonNumber(Rate(num, den)));
}

QJsonValue BitRate(int64_t bit_rate) { return bit_rate > 0 ? JsonInt(bit_rate) : QJsonValue(QJsonValue::Null); }

}  // namespace

ProbeInfo ProbeFile(const std::string& path, const std::string& keyFile) {
  StdinSource stdin_source;
  EncryptedInputs encrypted(keyFile);
  std::string url = path;
  encrypted.Resolve(url);
  ResolveStdin(url, stdin_source);
  AVFormatContext* raw = nullptr;
  TUrlIOPtr io;
  int err = OpenInputUrl(&raw, url, nullptr, nullptr, io);
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

QJsonObject ProbeJson(const ProbeInfo& info) {
  QJsonObject format;
  format.insert("name", JsonString(info.format_name));
  format.insert("long_name", JsonString(info.format_long_name));
  format.insert("duration", JsonNumber(info.duration));
  format.insert("start_time", JsonNumber(info.start_time));
  format.insert("bit_rate", BitRate(info.bit_rate));
  format.insert("nb_streams", JsonInt(static_cast<int64_t>(info.streams.size())));
  format.insert("metadata", JsonStringMap(info.metadata));
  QJsonArray streams;
  for (const ProbeStream& s : info.streams) {
    QJsonObject o;
    o.insert("index", s.index);
    o.insert("type", JsonString(s.type));
    o.insert("codec", JsonString(s.codec));
    o.insert("codec_long_name", JsonString(s.codec_long_name));
    if (!s.profile.empty()) o.insert("profile", JsonString(s.profile));
    if (s.type == "video") {
      o.insert("width", s.width);
      o.insert("height", s.height);
      o.insert("pix_fmt", JsonString(s.pix_fmt));
    } else if (s.type == "audio") {
      o.insert("sample_rate", s.sample_rate);
      o.insert("channels", s.channels);
      o.insert("channel_layout", JsonString(s.channel_layout));
      o.insert("sample_fmt", JsonString(s.sample_fmt));
    }
    JsonRate(o, "avg_frame_rate", s.avg_frame_rate_num, s.avg_frame_rate_den);
    JsonRate(o, "r_frame_rate", s.r_frame_rate_num, s.r_frame_rate_den);
    o.insert("time_base", JsonString(Fraction(s.time_base_num, s.time_base_den)));
    o.insert("start_time", JsonNumber(s.start_time));
    o.insert("duration", JsonNumber(s.duration));
    o.insert("bit_rate", BitRate(s.bit_rate));
    o.insert("disposition", QJsonObject{{"default", s.default_stream}, {"attached_pic", s.attached_pic}});
    o.insert("metadata", JsonStringMap(s.metadata));
    streams.append(o);
  }
  QJsonObject root;
  root.insert("file", JsonString(info.file));
  root.insert("format", format);
  root.insert("streams", streams);
  return root;
}

void PrintProbeJson(std::ostream& out, const ProbeInfo& info) { PrintJson(out, ProbeJson(info)); }

namespace {

struct ProbeArgs {
  std::string file;
  bool json = false;
  std::string key_file;
};

}  // namespace

void AddProbeCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand("probe", "show the container and streams of a media file");
  auto args = std::make_shared<ProbeArgs>();
  cmd->add_option("FILE", args->file, "the media file (or URL) to read; - reads standard input")->required();
  cmd->add_flag("--json", args->json, "one JSON object on stdout instead of text");
  cmd->add_option("--key-file", args->key_file, "decrypt the input with the 16-byte key text in F (- reads it from standard input)")->type_name("F");
  SetCommandRun(*cmd, [args] {
    const ProbeInfo info = ProbeFile(args->file, args->key_file);
    if (args->json) PrintProbeJson(std::cout, info);
    else PrintProbeText(std::cout, info);
    return 0;
  });
}

}  // namespace kivora::app
