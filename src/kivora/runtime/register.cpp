#include "kivora/runtime/register.h"

#include "kivora/platform/classes.h"

namespace kivora {

const std::vector<std::string>& KivoraPageClasses() {
  static const std::vector<std::string> names = {
      "TAVConverter",
      "TAVPreview",
      "TAVPlayer",
      "TAVView",
      "TAVCustomVideoProfile",
      "TAVMotionDetector",
      "TYuvTextureMaterialSource",
      "TYuvHPTextureMaterialSource",
      "TNVTextureMaterialSource",
      "TVideoTextureMaterialSource",
      "TAndroidRecorder",
      "TVideoView",
  };
  return names;
}

void Register() {
  // Each class registers itself where it is defined (KIVORA_REGISTER_CLASS or
  // KIVORA_REGISTER_WIDGET in its own source file; the recorder's is
  // KIVORA_REGISTER_CLASS(TAndroidRecorder, "recorder")), so the page only
  // names them; what this program does not contain cannot be offered.
  std::vector<std::string> present;
  for (const auto& name : KivoraPageClasses())
    if (FindClass(name)) present.push_back(name);
  RegisterComponents(KivoraPage, present);
}

}  // namespace kivora
