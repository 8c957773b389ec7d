#include "kivora/presentation/view.h"
#include "kivora/presentation/player_link.h"

#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "kivora/platform/classes.h"
#include "kivora/platform/exception.h"
#include "kivora/runtime/avbitmap.h"
#include "kivora/runtime/avlib.h"
#include "kivora/runtime/utils.h"
#include "kivora/runtime/ffmpeg.h"

namespace kivora {

namespace {

// Nearest integer (halves to even), then the lowest bit cleared.
long double EvenRound(long double x) {
  const auto n = static_cast<int64_t>(std::nearbyint(x));
  return static_cast<long double>(n & ~int64_t{1});
}

// Unmaps a bitmap when the copy ends, also when it ends with an exception.
class MappedBitmap {
public:
  explicit MappedBitmap(TBitmap& bitmap) : FBitmap(bitmap) { FOk = FBitmap.Map(TMapAccess::ReadWrite, FData); }
  ~MappedBitmap() {
    if (FOk) FBitmap.Unmap(FData);
  }
  MappedBitmap(const MappedBitmap&) = delete;
  MappedBitmap& operator=(const MappedBitmap&) = delete;
  bool Ok() const { return FOk; }
  const TBitmapData& Data() const { return FData; }

private:
  TBitmap& FBitmap;
  TBitmapData FData;
  bool FOk = false;
};

}  // namespace

float FitRect2(AVRational ASar, QRectF& R, const QRectF& Bounds) {
  long double aspect = ASar.num != 0 && ASar.den != 0 ? static_cast<long double>(ASar.num) / ASar.den : 0;
  if (aspect <= 0) aspect = 1;
  if (Bounds.width() <= 0 || Bounds.height() <= 0) return 1.0f;
  // A picture without area has no ratio to keep.
  if (R.width() <= 0 || R.height() <= 0) return 1.0f;
  aspect = static_cast<long double>(R.width()) * aspect / static_cast<long double>(R.height());
  long double h = Bounds.height();
  long double w = EvenRound(h * aspect);
  if (!(Bounds.width() >= w)) {
    w = Bounds.width();
    h = EvenRound(w / aspect);
  }
  R = QRectF(0, 0, static_cast<qreal>(w), static_cast<qreal>(h));
  R.moveCenter(Bounds.center());
  return static_cast<float>(aspect);
}

TAVView::TAVView(QWidget* parent, TComponent* owner) : QWidget(parent), TComponent(owner) {
  if (!Designing()) {
    LoadLibs();
    FFrameRGB.reset(av_frame_alloc());
  }
}

TAVView::~TAVView() { SetPlayer(nullptr); }

void TAVView::SetPlayer(TAVPlayer* Value) {
  if (Value == FPlayer) return;
  // The picture stays on show, but not in a buffer of the old player's.
  SettleHeldFrame();
  RelinkPlayer(*this, *this, FPlayer, Value);
  update();
}

void TAVView::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  // The player is being destroyed: its own part is already gone and it has
  // let go of its views, so only our side of the link is left to drop.
  if (operation == TOperation::opRemove && component == FPlayer) {
    SettleHeldFrame();
    FPlayer = nullptr;
    update();
  }
}

void TAVView::SetWrapMode(TImageWrapMode v) {
  FWrapMode = v;
  update();
}

void TAVView::SetBitmapMargins(const TBounds& v) {
  FBitmapMargins = v;
  update();
}

void TAVView::SetDisableInterpolation(bool v) {
  FDisableInterpolation = v;
  update();
}

void TAVView::SetOpacity(double v) {
  FOpacity = std::clamp(v, 0.0, 1.0);
  update();
}

void TAVView::SetLocked(bool v) {
  FLocked = v;
  update();
}

void TAVView::SetViewSize(int Width, int Height) {
  // The same size keeps the picture; another leaves the bitmap's pixels
  // undefined, and a held picture would no longer fit.
  if (Width != FBitmap.Width() || Height != FBitmap.Height()) DropHeldFrame();
  FBitmap.SetSize(Width, Height);
  updateGeometry();
  update();
}

void TAVView::Clear(uint32_t Color) {
  DropHeldFrame();
  FBitmap.Clear(Color);
  update();
}

void TAVView::DoVideoDisplay(AVFrame* AFrame) {
  if (FPlayer && !FPlayer->RGBMode()) throw Exception("TAVView only support RGB Mode");
  if (!AFrame || !AFrame->data[0] || AFrame->width <= 0 || AFrame->height <= 0) return;
  if (CanHold(AFrame)) {
    // A reference instead of a copy of every pixel: the GUI thread's share
    // of a picture is then its paint alone.
    if (!FHeld) FHeld.reset(av_frame_alloc());
    else av_frame_unref(FHeld.get());
    if (FHeld && av_frame_ref(FHeld.get(), AFrame) >= 0) {
      update();
      return;
    }
  }
  // Rows the frame does not cover keep the picture before it.
  SettleHeldFrame();
  MappedBitmap mapped(FBitmap);
  if (!mapped.Ok()) return;
  const TBitmapData& d = mapped.Data();
  const int W = RoundTo16(AFrame->width);
  const int H = AFrame->height;
  if (FFrameRGB) {
    av_image_fill_arrays(FFrameRGB->data, FFrameRGB->linesize, d.Data, AV_PIX_FMT_RGBA, W, H, 1);
    FFrameRGB->width = W;
    FFrameRGB->height = H;
  }
  // The player sizes the bitmap to fit its pictures, but a frame may still be
  // larger (a width rounding up past the bitmap's, a cover image, a caller of
  // our own) or have rows shorter than the rounded width: copy only what lies
  // inside both. Rows always start at the bitmap's own pitch, so the picture
  // stays upright whatever the bitmap's width.
  const int srcPitch = AFrame->linesize[0];
  const int rowBytes = std::min({W * 4, d.Width * 4, std::abs(srcPitch) > 0 ? std::abs(srcPitch) : W * 4});
  const int rows = std::min(H, d.Height);
  av_image_copy_plane(d.Data, d.Pitch, AFrame->data[0], srcPitch, rowBytes, rows);
  // A decoder that gives RGBA itself may leave the alpha byte meaningless;
  // pictures converted by the player's filter graph are opaque already.
  if (FPlayer && FPlayer->DecoderPixelFormat() == AV_PIX_FMT_RGBA) FixAlpha(d.Data, rowBytes / 4, rows, d.Pitch);
  update();
}

bool TAVView::CanHold(const AVFrame* AFrame) const {
  if (!AFrame->buf[0] || AFrame->format != AV_PIX_FMT_RGBA || FBitmap.Mapped()) return false;
  if (AFrame->width != FBitmap.Width() || AFrame->height != FBitmap.Height()) return false;
  if (AFrame->linesize[0] < AFrame->width * 4) return false;  // also no bottom-up rows
  // The frame must lie inside its buffer, which is then known to hold all
  // the rows painted.
  const uint8_t* begin = AFrame->buf[0]->data;
  const uint8_t* end = begin + AFrame->buf[0]->size;
  const size_t bytes = static_cast<size_t>(AFrame->linesize[0]) * static_cast<size_t>(AFrame->height - 1) +
                       static_cast<size_t>(AFrame->width) * 4;
  if (AFrame->data[0] < begin || AFrame->data[0] > end || bytes > static_cast<size_t>(end - AFrame->data[0]))
    return false;
  // A decoder's own RGBA may carry a meaningless alpha byte, which the copy
  // sets opaque; a shared buffer is not ours to write.
  return !(FPlayer && FPlayer->DecoderPixelFormat() == AV_PIX_FMT_RGBA);
}

void TAVView::SettleHeldFrame() const {
  if (!FHeld || !FHeld->data[0]) return;
  TBitmapData d;
  if (FBitmap.Map(TMapAccess::Write, d)) {
    av_image_copy_plane(d.Data, d.Pitch, FHeld->data[0], FHeld->linesize[0], std::min(FHeld->width, d.Width) * 4,
                        std::min(FHeld->height, d.Height));
    FBitmap.Unmap(d);
  }
  av_frame_unref(FHeld.get());
}

void TAVView::DropHeldFrame() {
  if (FHeld) av_frame_unref(FHeld.get());
}

QSize TAVView::sizeHint() const {
  return FBitmap.IsEmpty() ? QSize(320, 240) : QSize(FBitmap.Width(), FBitmap.Height());
}

void TAVView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  Paint(painter);
}

void TAVView::Paint(QPainter& painter) {
  const QRectF local(0, 0, width(), height());
  // A border that shows where the view is while it is being laid out.
  if (Designing() && !FLocked) DrawDesignBorder(painter, local, FOpacity);
  if (FBitmap.IsEmpty()) return;
  painter.save();
  painter.setOpacity(FOpacity);
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  // A held picture is drawn from its own buffer: the same bytes and format
  // as the bitmap would have after a copy. Qt draws this format without an
  // intermediate image (it converts while blending, with SIMD), faster here
  // than the premultiplied or alpha-less RGBA formats.
  QImage held;
  if (FHeld && FHeld->data[0])
    held = QImage(static_cast<const uchar*>(FHeld->data[0]), FHeld->width, FHeld->height, FHeld->linesize[0],
                  QImage::Format_RGBA8888);
  const QImage& img = held.isNull() ? FBitmap.Image() : held;
  if (!FBitmapMargins.IsEmpty()) {
    DrawNineSlices(painter, img, local, FBitmapMargins);
  } else {
    QRectF fit(0, 0, FBitmap.Width(), FBitmap.Height());
    if (FWrapMode == TImageWrapMode::Fit) FitRect2(FPlayer ? FPlayer->Sar() : AVRational{0, 0}, fit, local);
    DrawWrapped(painter, img, local, FWrapMode, fit, !FDisableInterpolation);
  }
  painter.restore();
}

// Makes the class known by name to stored forms and tools.
KIVORA_REGISTER_WIDGET(TAVView, "image view");

}  // namespace kivora
