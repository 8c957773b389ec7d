// A form made in Qt Designer with Kivora's widgets, compiled by uic against
// the installed package: the form's settings reach the widgets, and the form
// shows (offscreen). Given the path of the installed Designer plugin, it
// also loads that plugin and checks the widgets it offers.
#include <kivora/presentation/glview.h>
#include <kivora/presentation/videoview.h>
#include <kivora/presentation/view.h>
#include <kivora/preview/preview.h>

#include <QApplication>
#include <QPluginLoader>
#include <QStringList>
#include <QWidget>
#include <cstdio>
#include <string>

#ifdef KIVORA_CONSUMER_HAS_UIPLUGIN
#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#endif

#include "ui_kivora_form.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "consumer form: %s\n", what);
    ++failures;
  }
}

void CheckPlugin(const QString& path) {
#ifdef KIVORA_CONSUMER_HAS_UIPLUGIN
  QPluginLoader loader(path);
  auto* collection = qobject_cast<QDesignerCustomWidgetCollectionInterface*>(loader.instance());
  if (!collection) {
    std::fprintf(stderr, "consumer form: the Designer plugin %s does not load: %s\n", qPrintable(path),
                 qPrintable(loader.errorString()));
    ++failures;
    return;
  }
  QStringList names;
  for (auto* w : collection->customWidgets()) {
    Check(w->group() == QLatin1String("Kivora"), "a plugin widget outside the Kivora group");
    names << w->name();
  }
  names.sort();
  Check(names == QStringList({"kivora::TAVGLView", "kivora::TAVPreview", "kivora::TAVView", "kivora::TVideoView"}),
        "the plugin does not offer the four widgets");
  std::printf("consumer form: the installed Designer plugin offers %s\n", qPrintable(names.join(", ")));
#else
  std::printf("consumer form: built without Qt's Designer headers, %s not loaded\n", qPrintable(path));
#endif
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget form;
  Ui::KivoraForm ui;
  ui.setupUi(&form);

  using kivora::TImageWrapMode;
  Check(ui.avView->WrapMode() == TImageWrapMode::Stretch, "the view's wrap mode is not the form's");
  Check(ui.avView->Opacity() == 0.5, "the view's opacity is not the form's");
  Check(!ui.avView->DisableInterpolation(), "the view's interpolation is not the form's");
  Check(ui.avPreview->InputFile() == "clip.mp4", "the preview's file is not the form's");
  Check(ui.avPreview->WrapMode() == TImageWrapMode::Center, "the preview's wrap mode is not the form's");
  Check(ui.avPreview->TimeoutMs() == 2500, "the preview's time-out is not the form's");
  Check(!ui.avPreview->Active(), "the preview opened a file without being asked");
  Check(ui.videoView->Locked(), "the video view is not locked as the form says");
  Check(ui.glView->PreferNV12() && ui.glView->Opacity() == 0.75, "the GPU view's settings are not the form's");

  // The offscreen platform has no OpenGL, and a window holding an OpenGL
  // widget cannot be shown there: the GPU view leaves the form first.
  if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
    delete ui.glView;
    ui.glView = nullptr;
  }
  form.show();
  app.processEvents();
  Check(ui.avView->isVisible() && ui.avPreview->isVisible() && ui.videoView->isVisible(), "the form does not show");
  Check(!form.grab().isNull(), "the form does not paint");

  if (argc > 1) CheckPlugin(QString::fromLocal8Bit(argv[1]));
  if (failures == 0) std::printf("consumer form: the uic-compiled form shows the Kivora widgets with their settings\n");
  return failures == 0 ? 0 : 1;
}
