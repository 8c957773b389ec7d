// A batch converter: each file in turn to OUTDIR/<name>.mkv (MPEG-4 and MP2),
// with a progress bar and a Cancel button.
//   batch_convert OUTDIR FILE... [--cancel-at PERCENT]
// (--cancel-at presses Cancel once the first file is that far, as a user would.)
#include <kivora/kivora.h>

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::vector<std::string> files;
  int cancelAt = -1;
  for (int i = 2; i < argc; ++i) {
    if (std::string(argv[i]) == "--cancel-at" && i + 1 < argc) cancelAt = std::atoi(argv[++i]);
    else files.push_back(argv[i]);
  }
  if (argc < 3 || files.empty()) {
    std::fprintf(stderr, "usage: batch_convert OUTDIR FILE... [--cancel-at PERCENT]\n");
    return 2;
  }
  const QString outDir = argv[1];

  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* label = new QLabel;
  auto* bar = new QProgressBar;
  auto* cancel = new QPushButton("Cancel");
  bar->setRange(0, 100);  // Progress() is a percentage, 100 only at a complete end
  layout->addWidget(label);
  layout->addWidget(bar);
  layout->addWidget(cancel);
  window.show();

  kivora::TAVConverter converter;
  size_t next = 0;
  int converted = 0, failed = 0;
  bool cancelled = false;

  // Starts the next file, or ends the program when none is left.
  auto start = [&] {
    if (cancelled || next == files.size()) {
      app.exit(failed ? 1 : 0);
      return;
    }
    const std::string in = files[next++];
    const QString out = outDir + "/" + QFileInfo(QString::fromStdString(in)).completeBaseName() + ".mkv";
    label->setText(QString::fromStdString(in));
    bar->setValue(0);
    converter.InputFiles().Clear();
    converter.OutputFiles().Clear();
    converter.InputFiles().Add(in);
    converter.OutputFiles().Add(out.toStdString());
    converter.ConvertOptions().VideoOptions().SetVideoCodecName("mpeg4");
    converter.ConvertOptions().AudioOptions().SetAudioCodecName("mp2");
    converter.Convert();  // returns at once; the work is on a worker thread
  };

  // The events arrive on this (the GUI) thread.
  converter.OnProgress = [&](kivora::TComponent*) {
    bar->setValue(converter.Progress());
    if (cancelAt >= 0 && converter.Progress() >= cancelAt) cancel->click();
  };
  converter.OnError = [&](kivora::TComponent*, const std::string& msg, const std::string& log, bool& handled) {
    handled = true;  // no message box: the reason goes to stderr
    ++failed;
    std::fprintf(stderr, "%s: %s\n", msg.c_str(), log.c_str());
  };
  converter.OnStopped = [&](kivora::TComponent*) { cancelled = true; };
  converter.OnComplete = [&](kivora::TComponent*) {
    if (converter.Progress() == 100) ++converted;
    std::printf("%s: %s\n", label->text().toStdString().c_str(),
                converter.Progress() == 100 ? "converted" : cancelled ? "cancelled" : "failed");
    // A handler may start the next conversion itself.
    start();
  };
  QObject::connect(cancel, &QPushButton::clicked, [&] {
    cancelled = true;
    converter.Stop();  // the shorter file still gets its trailer
  });

  start();
  const int result = app.exec();
  std::printf("%d of %zu converted%s\n", converted, files.size(), cancelled ? ", then cancelled" : "");
  return result;
}
