#include "kivora/platform/imagewrap.h"

#include <QPainter>
#include <QPen>
#include <algorithm>
#include <cmath>

namespace kivora {

QRectF FitRect(const QRectF& R, const QRectF& Bounds) {
  if (R.width() <= 0 || R.height() <= 0 || Bounds.width() <= 0 || Bounds.height() <= 0) return R;
  const qreal scale = std::min(Bounds.width() / R.width(), Bounds.height() / R.height());
  QRectF fitted(0, 0, R.width() * scale, R.height() * scale);
  fitted.moveCenter(Bounds.center());
  return fitted;
}

void DrawDesignBorder(QPainter& painter, const QRectF& local, double opacity) {
  painter.save();
  QPen pen(QColor(0x90, 0x90, 0x90, 0xA0));
  pen.setWidthF(1.0);
  pen.setStyle(Qt::DashLine);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  painter.setOpacity(opacity);
  painter.drawRect(local.adjusted(0.5, 0.5, -0.5, -0.5));
  painter.restore();
}

void DrawNineSlices(QPainter& painter, const QImage& img, const QRectF& local, const TBounds& margins) {
  const qreal BW = img.width(), BH = img.height();
  const qreal W = local.width(), H = local.height();
  const qreal ML = margins.Left, MT = margins.Top, MR = margins.Right, MB = margins.Bottom;
  struct Slice {
    qreal sl, st, sr, sb;  // source left, top, right, bottom
    qreal dl, dt, dr, db;  // destination
  };
  const Slice slices[9] = {
      {0, 0, ML, MT, 0, 0, ML, MT},                                // top left
      {ML, 0, BW - MR, MT, ML, 0, W - MR, MT},                     // top
      {BW - MR, 0, BW, MT, W - MR, 0, W, MT},                      // top right
      {0, MT, ML, BH - MB, 0, MT, ML, H - MB},                     // left
      {ML, MT, BW - MR, BH - MB, ML, MT, W - MR, H - MB},          // centre
      {BW - MR, MT, BW, BH - MB, W - MR, MT, W, H - MB},           // right
      {0, BH - MB, ML, BH, 0, H - MB, ML, H},                      // bottom left
      {ML, BH - MB, BW - MR, BH, ML, H - MB, W - MR, H},           // bottom
      {BW - MR, BH - MB, BW, BH, W - MR, H - MB, W, H},            // bottom right
  };
  for (const Slice& s : slices) {
    // Margins wider than the bitmap or the widget leave some slices with no
    // area (or a negative one, which would mirror): those are not drawn.
    if (s.sr <= s.sl || s.sb <= s.st || s.dr <= s.dl || s.db <= s.dt) continue;
    painter.drawImage(QRectF(QPointF(s.dl, s.dt), QPointF(s.dr, s.db)), img,
                      QRectF(QPointF(s.sl, s.st), QPointF(s.sr, s.sb)));
  }
}

void DrawWrapped(QPainter& painter, const QImage& img, const QRectF& local, TImageWrapMode mode,
                 const QRectF& fitRect, bool smooth) {
  const qreal BW = img.width(), BH = img.height();
  switch (mode) {
    case TImageWrapMode::Original:
      painter.setClipRect(local);
      painter.drawImage(QPointF(0, 0), img);
      break;
    case TImageWrapMode::Fit:
      painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
      painter.drawImage(fitRect, img);
      break;
    case TImageWrapMode::Stretch:
      painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
      painter.drawImage(local, img);
      break;
    case TImageWrapMode::Tile: {
      painter.setClipRect(local);
      const auto cols = static_cast<int>(std::nearbyint(local.width() / BW));
      const auto rows = static_cast<int>(std::nearbyint(local.height() / BH));
      for (int i = 0; i <= cols; ++i)
        for (int j = 0; j <= rows; ++j) painter.drawImage(QPointF(BW * i, BH * j), img);
      break;
    }
    case TImageWrapMode::Center: {
      QRectF r(0, 0, BW, BH);
      r.moveCenter(local.center());
      const QRectF v = r.intersected(local);
      if (!v.isEmpty()) painter.drawImage(v, img, v.translated(-r.left(), -r.top()));
      break;
    }
    default:
      break;  // Place and anything else: nothing
  }
}

}  // namespace kivora
