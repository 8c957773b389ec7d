#pragma once
// TAVGLView: a widget that shows the pictures of a TAVPlayer on the GPU.
//
// Fed by a player with RGBMode off, it takes the decoded YUV420P or NV12
// planes as they are and converts them to RGB in a fragment shader (the
// planar or NV12 material) with the picture's own colour matrix and range;
// RGBA pictures (a player in RGB mode, a cover image) are drawn as they are.
// It keeps the picture's display aspect ratio as TAVView's Fit mode does.
// Needs a working OpenGL (a QOpenGLWidget host): not the offscreen platform.
#include <QOpenGLWidget>
#include <cstdint>
#include <string>

#include "kivora/platform/component.h"
#include "kivora/player/player.h"
#include "kivora/presentation/materials.h"
#include "kivora/runtime/avframe.h"


struct SwsContext;

namespace kivora {

// A widget: every method is for the GUI thread, where the player's IAVView
// calls arrive too.
class TAVGLView : public QOpenGLWidget, public TComponent, public IAVView {
  Q_OBJECT
  // Qt properties for Designer's property editor and for forms compiled by
  // uic. uic sets a property X by calling setX(value), hence the lower-case
  // set adapters below.
  Q_PROPERTY(double Opacity READ Opacity WRITE setOpacity)
  Q_PROPERTY(bool Locked READ Locked WRITE setLocked)
  Q_PROPERTY(bool PreferNV12 READ PreferNV12 WRITE setPreferNV12)

public:
  explicit TAVGLView(QWidget* parent = nullptr, TComponent* owner = nullptr);
  ~TAVGLView() override;

  // The player whose pictures the view shows; not owned. The view detaches
  // itself when the player is destroyed.
  TAVPlayer* Player() const { return FPlayer; }
  void SetPlayer(TAVPlayer* Value);

  // The opacity the picture is drawn with (0..1; other values are clamped).
  // The YUV materials draw opaque pictures whatever it is; RGBA pictures fade.
  double Opacity() const { return FOpacity; }
  void SetOpacity(double v);
  // A locked view shows no designer border even while designing.
  bool Locked() const { return FLocked; }
  void SetLocked(bool v);
  // Draws YUV420P pictures through the NV12 material (U and V interleaved on
  // the CPU first) instead of the planar one. Off by default.
  bool PreferNV12() const { return FPreferNV12; }
  void SetPreferNV12(bool v) { FPreferNV12 = v; }

  void setOpacity(double v) { SetOpacity(v); }
  void setLocked(bool v) { SetLocked(v); }
  void setPreferNV12(bool v) { SetPreferNV12(v); }

  // ---- IAVView ----
  // Takes one picture: YUV420P (or YUVJ420P), NV12 and RGBA as they are,
  // any other format converted to YUV420P first. A frame without pixels is
  // ignored.
  void DoVideoDisplay(AVFrame* AFrame) override;
  // Pixels: the size the view asks its layout for (sizeHint).
  void SetViewSize(int Width, int Height) override;
  // Drops the picture and shows the 32-bit ARGB colour.
  void Clear(uint32_t Color) override;

  // What the last draw used.
  enum class TPath { None, Planar, NV12, Rgba };
  TPath Path() const { return FPath; }
  // The size of the picture shown, in pixels (0 x 0 without one).
  int PictureWidth() const { return FPictureWidth; }
  int PictureHeight() const { return FPictureHeight; }
  // Why the last draw failed (empty when it did not).
  const std::string& LastError() const { return FLastError; }
  // GUI-thread time of the last picture: its copy into the planes and the
  // upload and draw of the next paint, in milliseconds.
  double LastCopyMs() const { return FLastCopyMs; }
  double LastDrawMs() const { return FLastDrawMs; }

  // The size SetViewSize gave, in pixels; 320 x 240 before that.
  QSize sizeHint() const override;

  TYuvHPTextureMaterialSource& PlanarSource() { return FPlanar; }
  TNVTextureMaterialSource& NVSource() { return FNV; }

protected:
  void initializeGL() override;
  void paintGL() override;
  void Notification(TComponent* component, TOperation operation) override;

private:
  void ReleaseGL();
  // The watch on the context's end; dropped in the destructor, since by the
  // time the base widget lets the context go this object is no longer a view.
  QMetaObject::Connection FContextWatch;
  const AVFrame* Converted(const AVFrame* frame);

  TAVPlayer* FPlayer = nullptr;
  TYuvHPTextureMaterialSource FPlanar;
  TNVTextureMaterialSource FNV;
  TRgbTextureMaterialSource FRgb;
  TPath FPath = TPath::None;
  int FPictureWidth = 0, FPictureHeight = 0;
  int FViewWidth = 0, FViewHeight = 0;
  uint32_t FClearColor = 0xFF000000u;
  double FOpacity = 1.0;
  bool FLocked = false;
  bool FPreferNV12 = false;
  std::string FLastError;
  double FLastCopyMs = 0, FLastDrawMs = 0;
  // Pictures of other formats, converted.
  struct TSwsFree {
    void operator()(SwsContext* c) const noexcept;
  };
  std::unique_ptr<SwsContext, TSwsFree> FSws;
  AVFramePtr FConverted;
};

}  // namespace kivora
