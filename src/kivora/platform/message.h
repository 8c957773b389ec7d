#pragma once
// ShowMessage: tells the user something. The default handler shows a
// QMessageBox when a QApplication with widgets exists and writes the text to
// stderr otherwise. Tests and applications may install their own handler.
#include <functional>
#include <string>

namespace kivora {

using TShowMessageHandler = std::function<void(const std::string&)>;

// Any thread. An installed handler runs on the calling thread; the default
// one shows the box on the GUI thread and waits until the user closes it.
void ShowMessage(const std::string& text);
// Installs a handler and returns the previous one; an empty handler restores
// the default. Any thread.
TShowMessageHandler SetShowMessageHandler(TShowMessageHandler handler);

}  // namespace kivora
