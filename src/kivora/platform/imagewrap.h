#pragma once
// How a control lays a picture out: wrap modes, nine-slice margins, the
// rectangle fit and the border that marks a control in the designer. Shared
// by every widget that shows a bitmap.
#include <QImage>
#include <QObject>
#include <QRectF>

class QPainter;

namespace kivora {
// Gives the namespace a meta-object, so that Qt properties of the widgets can
// carry the wrap mode as an enumeration (Designer's list, uic's values).
Q_NAMESPACE

// How the bitmap is placed in the control when no margins are set.
enum class TImageWrapMode : int { Original = 0, Fit = 1, Stretch = 2, Tile = 3, Center = 4, Place = 5 };
Q_ENUM_NS(TImageWrapMode)

// Margins in pixels. When any is non-zero the bitmap is drawn as nine slices:
// the corners keep their size, the edges stretch along one direction and the
// centre in both.
struct TBounds {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
  bool IsEmpty() const { return Left == 0 && Top == 0 && Right == 0 && Bottom == 0; }
  bool operator==(const TBounds&) const = default;
};

// R scaled, up or down, to the largest rectangle of its own aspect ratio that
// fits Bounds, centred in it. R or Bounds without area give R unchanged.
QRectF FitRect(const QRectF& R, const QRectF& Bounds);

// A dashed border round local, where a control sits while it is laid out;
// opacity 0 (invisible) to 1.
void DrawDesignBorder(QPainter& painter, const QRectF& local, double opacity);

// img as nine slices over local, cut by margins (the same pixels in img and
// in local); slices the margins leave without area are not drawn.
void DrawNineSlices(QPainter& painter, const QImage& img, const QRectF& local, const TBounds& margins);

// img in local as the mode says: Original at the top left, Fit into fitRect,
// Stretch over local, Tile from the top left, Center in the middle (all
// clipped to local); Place and any other value draw nothing. smooth
// interpolates when Fit and Stretch scale.
void DrawWrapped(QPainter& painter, const QImage& img, const QRectF& local, TImageWrapMode mode,
                 const QRectF& fitRect, bool smooth);

}  // namespace kivora
