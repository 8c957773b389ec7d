// A thumbnail sheet: COLUMNS x ROWS pictures spread evenly over a file, each
// the picture on screen at its time, scaled to 240 pixels wide with its time
// written under it.
//   thumbnail_sheet FILE OUT.png [COLUMNS ROWS]
#include <kivora/kivora.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);  // QPainter's text needs fonts
  if (argc != 3 && argc != 5) {
    std::fprintf(stderr, "usage: thumbnail_sheet FILE OUT.png [COLUMNS ROWS]\n");
    return 2;
  }
  const int columns = argc == 5 ? std::atoi(argv[3]) : 4;
  const int rows = argc == 5 ? std::atoi(argv[4]) : 3;
  if (columns < 1 || rows < 1 || columns * rows > 400) {
    std::fprintf(stderr, "thumbnail_sheet: between 1 and 400 pictures\n");
    return 2;
  }

  // The preview's decoding engine, without its widget: it seeks and decodes
  // on the calling thread. Times are microseconds from the start.
  kivora::TPreviewDecoder decoder;
  if (!decoder.Open(argv[1])) {
    std::fprintf(stderr, "thumbnail_sheet: %s\n", decoder.LastError().c_str());
    return 1;
  }
  const double duration = decoder.Duration();  // seconds; 0 when unknown
  if (!(duration > 0)) {
    std::fprintf(stderr, "thumbnail_sheet: the file does not say how long it is\n");
    return 1;
  }

  constexpr int kWidth = 240, kCaption = 18;
  QImage sheet;
  int cellHeight = 0, shown = 0;
  QPainter painter;
  const int count = columns * rows;
  for (int i = 0; i < count; ++i) {
    const double at = (i + 0.5) * duration / count;  // in order: each decode goes on from the last
    kivora::TBitmap picture;
    if (!decoder.DecodeAt(static_cast<int64_t>(at * 1e6), /*accurate=*/true) || !decoder.ToBitmap(picture)) {
      std::fprintf(stderr, "thumbnail_sheet: no picture at %.2f s: %s\n", at, decoder.LastError().c_str());
      continue;
    }
    const QImage thumb = picture.Image().scaledToWidth(kWidth, Qt::SmoothTransformation);
    if (sheet.isNull()) {
      cellHeight = thumb.height() + kCaption;
      sheet = QImage(columns * kWidth, rows * cellHeight, QImage::Format_RGB32);
      sheet.fill(Qt::black);
      painter.begin(&sheet);
      painter.setPen(Qt::white);
    }
    const int x = (i % columns) * kWidth, y = (i / columns) * cellHeight;
    painter.drawImage(x, y, thumb);
    const double t = decoder.PictureTime() / 1e6;  // the picture's own time
    painter.drawText(QRect(x, y + thumb.height(), kWidth, kCaption), Qt::AlignCenter,
                     QString::asprintf("%d:%05.2f", static_cast<int>(t) / 60, t - 60 * (static_cast<int>(t) / 60)));
    ++shown;
  }
  if (painter.isActive()) painter.end();
  if (!shown || !sheet.save(argv[2])) {
    std::fprintf(stderr, "thumbnail_sheet: nothing written to %s\n", argv[2]);
    return 1;
  }
  std::printf("%d pictures in a %dx%d sheet: %s\n", shown, sheet.width(), sheet.height(), argv[2]);
  return shown == count ? 0 : 1;
}
