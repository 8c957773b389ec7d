#include "kivora/platform/message.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <mutex>

#include "kivora/platform/mainthread.h"

namespace kivora {

namespace {

std::mutex& HandlerMutex() {
  static std::mutex m;
  return m;
}

TShowMessageHandler& Handler() {
  static TShowMessageHandler handler;
  return handler;
}

void WriteToStderr(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

void DefaultShowMessage(const std::string& text) {
  // Only a widgets application can show a message box; a console program or
  // a QGuiApplication gets the text on stderr.
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    WriteToStderr(text);
    return;
  }
  auto show = [&text] {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
      WriteToStderr(text);
      return;
    }
    QMessageBox::information(nullptr, QCoreApplication::applicationName(), QString::fromStdString(text));
  };
  if (MainThread::IsMainThread()) {
    show();
  } else if (!MainThread::Synchronize(show)) {
    // The application is closing: the user still gets to see the text somewhere.
    WriteToStderr(text);
  }
}

}  // namespace

void ShowMessage(const std::string& text) {
  TShowMessageHandler handler;
  {
    std::lock_guard lock(HandlerMutex());
    handler = Handler();
  }
  // Called outside the lock: a handler may itself show messages or swap handlers.
  if (handler)
    handler(text);
  else
    DefaultShowMessage(text);
}

TShowMessageHandler SetShowMessageHandler(TShowMessageHandler handler) {
  std::lock_guard lock(HandlerMutex());
  TShowMessageHandler previous = std::move(Handler());
  Handler() = std::move(handler);
  return previous;
}

}  // namespace kivora
