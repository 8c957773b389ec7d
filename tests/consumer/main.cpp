// A program outside the Kivora tree, built against an installed package to
// show that the headers, the library and its dependencies are all found.
#include <kivora/kivora.h>

#include <cstdio>

int main() {
  kivora::LoadLibs();
  if (!kivora::AVLoaded()) {
    std::fprintf(stderr, "consumer: LoadLibs did not start the libraries\n");
    return 1;
  }
  kivora::TStringList codecs;
  kivora::GetCodecList(codecs);
  kivora::TStringList parts;
  kivora::Split(',', "h264,aac,mp3", parts);
  std::printf("kivora %s with FFmpeg %s: %d codecs known, %d parts, 3725 s is %s (%s)\n",
              KIVORA_VERSION_STRING, av_version_info(), codecs.Count(), parts.Count(),
              kivora::GetTimeString(3725.5, false).c_str(),
              kivora::GetTimeString(int64_t{3725}).c_str());
  kivora::UnloadLibs();
  return codecs.Count() > 0 && parts.Count() == 3 ? 0 : 1;
}
