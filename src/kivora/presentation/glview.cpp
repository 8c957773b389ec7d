#include "kivora/presentation/glview.h"
#include "kivora/presentation/player_link.h"

#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QPainter>
#include <algorithm>
#include <chrono>
#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

#include "kivora/platform/classes.h"
#include "kivora/platform/imagewrap.h"
#include "kivora/presentation/view.h"
#include "kivora/runtime/avlib.h"

namespace kivora {

void TAVGLView::TSwsFree::operator()(SwsContext* c) const noexcept { sws_freeContext(c); }

namespace {

double MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// Y as it is and U, V interleaved into one two-channel plane.
bool FillNV12FromPlanar(const AVFrame* f, TPlaneBitmap& y, TPlaneBitmap& uv) {
  TPlaneBitmap u, v;
  TPlaneBitmap* planes[3] = {&y, &u, &v};
  if (FillPlanesFromFrame(f, planes, 3) != 3) return false;
  uv.SetSize(u.Width(), u.Height(), 2);
  for (int r = 0; r < u.Height(); ++r) {
    const uint8_t* su = u.ConstScanline(r);
    const uint8_t* sv = v.ConstScanline(r);
    uint8_t* d = uv.Scanline(r);
    for (int x = 0; x < u.Width(); ++x) {
      d[2 * x] = su[x];
      d[2 * x + 1] = sv[x];
    }
  }
  return true;
}

}  // namespace

TAVGLView::TAVGLView(QWidget* parent, TComponent* owner) : QOpenGLWidget(parent), TComponent(owner) {
  if (!Designing()) LoadLibs();
  // The materials are made without any GL; their change asks for a paint.
  auto repaint = [this](TMaterial*) { update(); };
  FPlanar.Material()->OnChange = repaint;
  FNV.Material()->OnChange = repaint;
  FRgb.Material()->OnChange = repaint;
}

TAVGLView::~TAVGLView() {
  SetPlayer(nullptr);
  QObject::disconnect(FContextWatch);
  // Textures and programs go while their context is still there.
  ReleaseGL();
  FPlanar.Material()->OnChange = nullptr;
  FNV.Material()->OnChange = nullptr;
  FRgb.Material()->OnChange = nullptr;
}

void TAVGLView::ReleaseGL() {
  if (!context()) return;
  makeCurrent();
  ReleaseMaterialsGL(context());
  doneCurrent();
}

void TAVGLView::SetPlayer(TAVPlayer* Value) {
  if (RelinkPlayer(*this, *this, FPlayer, Value)) update();
}

void TAVGLView::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == FPlayer) {
    FPlayer = nullptr;
    update();
  }
}

void TAVGLView::SetOpacity(double v) {
  FOpacity = std::clamp(v, 0.0, 1.0);
  update();
}

void TAVGLView::SetLocked(bool v) {
  FLocked = v;
  update();
}

const AVFrame* TAVGLView::Converted(const AVFrame* frame) {
  FSws.reset(sws_getCachedContext(FSws.release(), frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                  frame->width, frame->height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr,
                                  nullptr));
  if (!FSws) return nullptr;
  if (!FConverted) FConverted.reset(av_frame_alloc());
  if (!FConverted) return nullptr;
  if (FConverted->width != frame->width || FConverted->height != frame->height || !FConverted->data[0]) {
    av_frame_unref(FConverted.get());
    FConverted->width = frame->width;
    FConverted->height = frame->height;
    FConverted->format = AV_PIX_FMT_YUV420P;
    if (av_frame_get_buffer(FConverted.get(), 0) < 0) return nullptr;
  }
  if (sws_scale(FSws.get(), frame->data, frame->linesize, 0, frame->height, FConverted->data, FConverted->linesize) <= 0)
    return nullptr;
  // The scaler writes limited-range BT.601 by default.
  FConverted->colorspace = AVCOL_SPC_BT470BG;
  FConverted->color_range = AVCOL_RANGE_MPEG;
  return FConverted.get();
}

void TAVGLView::DoVideoDisplay(AVFrame* AFrame) {
  if (!AFrame || !AFrame->data[0] || AFrame->width <= 0 || AFrame->height <= 0) return;
  const auto t0 = std::chrono::steady_clock::now();
  const AVFrame* f = AFrame;
  if (f->format != AV_PIX_FMT_YUV420P && f->format != AV_PIX_FMT_YUVJ420P && f->format != AV_PIX_FMT_NV12 &&
      f->format != AV_PIX_FMT_RGBA) {
    f = Converted(f);
    if (!f) return;
  }
  const TYuvConversion conversion = TYuvConversion::ForFrame(f->colorspace, f->color_range, f->format);
  if (f->format == AV_PIX_FMT_RGBA) {
    TPlaneBitmap* planes[1] = {&FRgb.Plane()};
    if (FillPlanesFromFrame(f, planes, 1) != 1) return;
    FPath = TPath::Rgba;
    FRgb.UpdateTexture();
  } else if (f->format == AV_PIX_FMT_NV12 || FPreferNV12) {
    bool ok;
    if (f->format == AV_PIX_FMT_NV12) {
      TPlaneBitmap* planes[2] = {&FNV.Plane(0), &FNV.Plane(1)};
      ok = FillPlanesFromFrame(f, planes, 2) == 2;
    } else {
      ok = FillNV12FromPlanar(f, FNV.Plane(0), FNV.Plane(1));
    }
    if (!ok) return;
    FPath = TPath::NV12;
    FNV.NVMaterial()->SetConversion(conversion);
    FNV.SetTextureChanged(true);
  } else {
    TPlaneBitmap* planes[3] = {&FPlanar.Plane(0), &FPlanar.Plane(1), &FPlanar.Plane(2)};
    if (FillPlanesFromFrame(f, planes, 3) != 3) return;
    FPath = TPath::Planar;
    FPlanar.YuvMaterial()->SetConversion(conversion);
    FPlanar.SetTextureChanged(true);
  }
  FPictureWidth = f->width;
  FPictureHeight = f->height;
  FLastCopyMs = MsSince(t0);
  update();
}

void TAVGLView::SetViewSize(int Width, int Height) {
  FViewWidth = Width;
  FViewHeight = Height;
  updateGeometry();
}

void TAVGLView::Clear(uint32_t Color) {
  FClearColor = Color;
  FPath = TPath::None;
  FPictureWidth = FPictureHeight = 0;
  update();
}

QSize TAVGLView::sizeHint() const {
  return FViewWidth > 0 && FViewHeight > 0 ? QSize(FViewWidth, FViewHeight) : QSize(320, 240);
}

void TAVGLView::initializeGL() {
  // The context goes (the widget is reparented into another window, or
  // destroyed): its textures and programs go with it, and the next context
  // gets the same pictures uploaded again from the planes.
  QObject::disconnect(FContextWatch);
  FContextWatch =
      connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] { ReleaseGL(); }, Qt::DirectConnection);
}

void TAVGLView::paintGL() {
  const auto t0 = std::chrono::steady_clock::now();
  QOpenGLFunctions* f = context()->functions();
  const float a = ((FClearColor >> 24) & 0xFF) / 255.0f;
  f->glClearColor(((FClearColor >> 16) & 0xFF) / 255.0f * a, ((FClearColor >> 8) & 0xFF) / 255.0f * a,
                  (FClearColor & 0xFF) / 255.0f * a, a);
  f->glClear(GL_COLOR_BUFFER_BIT);
  const qreal dpr = devicePixelRatioF();
  const int w = static_cast<int>(width() * dpr), h = static_cast<int>(height() * dpr);
  TMaterial* material = FPath == TPath::Planar ? FPlanar.Material()
                        : FPath == TPath::NV12 ? FNV.Material()
                        : FPath == TPath::Rgba ? FRgb.Material()
                                               : nullptr;
  if (material && FPictureWidth > 0 && FPictureHeight > 0 && w > 0 && h > 0) {
    QRectF r(0, 0, FPictureWidth, FPictureHeight);
    FitRect2(FPlayer && FPath != TPath::Rgba ? FPlayer->Sar() : AVRational{0, 0}, r, QRectF(0, 0, w, h));
    f->glViewport(0, 0, w, h);
    TDrawContext dc;
    dc.MVP.ortho(0, static_cast<float>(w), static_cast<float>(h), 0, -1, 1);
    dc.Opacity = static_cast<float>(FOpacity);
    if (DrawMaterialQuad(*material, dc, r)) FLastError.clear();
    else FLastError = material->LastError().empty() ? "the picture could not be drawn" : material->LastError();
  }
  FLastDrawMs = MsSince(t0);
  if (Designing() && !FLocked) {
    QPainter painter(this);
    DrawDesignBorder(painter, QRectF(0, 0, width(), height()), FOpacity);
  }
}

// Makes the class known by name to stored forms and tools.
KIVORA_REGISTER_WIDGET(TAVGLView, "GPU view");

}  // namespace kivora
