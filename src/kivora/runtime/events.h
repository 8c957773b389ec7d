#pragma once
// Event types shared by the player and the converter. An empty std::function
// means "not assigned".
#include <functional>
#include <string>

extern "C" {
struct AVFrame;
}

namespace kivora {

class TComponent;

using TNotifyEvent = std::function<void(TComponent* Sender)>;
using TAVLogEvent = std::function<void(TComponent* Sender, int level, const std::string& Log)>;
using TAVOnAudioBufferEvent = std::function<void(TComponent* Sender, void* AudioBuf, int DataSize)>;
using TAVErrorEvent = std::function<void(TComponent* Sender, const std::string& Error)>;
using TVideoDisplayEvent = std::function<void(TComponent* Sender, AVFrame* AFrame)>;

}  // namespace kivora
