#pragma once
// GPU materials that draw a video picture held in textures, converting YUV
// to RGB in the fragment shader, and the sources that feed them.
//
// A material source (a component) owns the CPU planes and the textures made
// from them; the material it creates draws those textures and owns none.
// Nothing here touches OpenGL until something draws: sources and materials
// can be made, filled and destroyed without any GL context. GL objects are
// made at the first draw in a context, dropped when that context is about to
// be destroyed, and made again from the CPU planes at the next draw (the
// context reset).
#include <QMatrix4x4>
#include <QRectF>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kivora/platform/component.h"
#include "kivora/presentation/planes.h"

class QOpenGLContext;
class QOpenGLShaderProgram;

namespace kivora {

// The pixel formats a texture is sampled as. L: one channel, read as .r;
// LA: two channels, the first read as .r and the second as .a; RGBA: four.
enum class TPixelFormat { None = 0, L = 13, LA = 14, RGBA = 15 };

// One GPU texture. Its contents are a snapshot of a CPU plane (SetContents),
// uploaded at the next Bind in a context; an external texture (OpenGL ES's
// GL_OES_EGL_image_external) is made elsewhere and only its handle is kept.
// Textures, materials and sources hold no locks: one thread at a time uses
// them, the one that draws (the GUI thread for TAVGLView).
class TTexture {
public:
  TTexture();
  ~TTexture();
  TTexture(const TTexture&) = delete;
  TTexture& operator=(const TTexture&) = delete;

  TPixelFormat PixelFormat() const { return FPixelFormat; }
  void SetPixelFormat(TPixelFormat v);
  // What the next Bind uploads; an empty snapshot leaves the texture empty.
  void SetContents(const TPlaneBitmap::Snapshot& s);
  bool HasContents() const { return FContents.Data != nullptr; }
  // The contents' size in pixels.
  int Width() const { return FContents.Width; }
  int Height() const { return FContents.Height; }
  // How often the contents were set.
  uint64_t Version() const { return FVersion; }

  // An external texture: the handle of a texture of target
  // GL_TEXTURE_EXTERNAL_OES in context, made by whoever owns the picture
  // (0 for none).
  void SetExternalHandle(unsigned handle, QOpenGLContext* context);
  unsigned ExternalHandle() const { return FExternal; }
  // True when the texture has (or will have at its next Bind) a GPU texture.
  bool HasHandle() const { return FExternal != 0 || HasContents(); }

  // Binds the texture to texture unit `unit` in the current context,
  // uploading the contents first when they changed or the context is new.
  // False when there is nothing to draw (no contents, or contents whose
  // channel count does not fit the pixel format).
  bool Bind(int unit);
  // How many uploads the texture made (for tests of the upload path).
  uint64_t Uploads() const { return FUploads; }

private:
  friend struct TGLContextState;
  void ForgetGL();  // the context is gone: its objects with it
  TPixelFormat FPixelFormat = TPixelFormat::None;
  TPlaneBitmap::Snapshot FContents;
  uint64_t FVersion = 0;
  uint64_t FUploadedVersion = 0;
  TPixelFormat FUploadedFormat = TPixelFormat::None;
  int FUploadedWidth = 0, FUploadedHeight = 0;
  QOpenGLContext* FContext = nullptr;  // where FId lives
  unsigned FId = 0;
  unsigned FExternal = 0;
  QOpenGLContext* FExternalContext = nullptr;
  uint64_t FUploads = 0;
};

// A CPU plane with the texture made from it. Writing the plane changes
// nothing on the GPU until Commit.
class TTextureBitmap : public TPlaneBitmap {
public:
  TTexture& Texture() { return FTexture; }
  // Hands the plane as it is now to the texture.
  void Commit() { FTexture.SetContents(TakeSnapshot()); }

private:
  TTexture FTexture;
};

// ---- shaders ----

enum class TShaderKind { Vertex, Pixel };
enum class TShaderVariableKind { Float, Float2, Float3, Float4, Matrix, Texture };

// A variable a shader text declares; the GLSL name carries a leading
// underscore ("_Opacity" for "Opacity").
struct TShaderVariable {
  std::string Name;
  TShaderVariableKind Kind;
  int Size;  // vec4 rows for matrices, 1 otherwise
};

using TShaderHandle = int;  // 0: none

// Shaders by name and text: two texts registered under one name are two
// shaders (several materials name their shaders alike), so no material is
// ever served another's program. Programs are compiled and linked once per
// GL context and dropped with it.
// Register and Find may be called from any thread; Program and
// TextForContext on the thread whose context is current.
class TShaderRegistry {
public:
  static TShaderHandle Register(TShaderKind kind, const std::string& name, const std::string& text,
                                const std::vector<TShaderVariable>& variables);
  struct Entry {
    TShaderKind Kind;
    std::string Name;
    std::string Text;
    std::vector<TShaderVariable> Variables;
  };
  // The registered shader (nullptr for an unknown handle).
  static const Entry* Find(TShaderHandle handle);
  // The linked program of a vertex and a pixel shader in the current
  // context, or nullptr with the compiler's log in *error.
  static QOpenGLShaderProgram* Program(TShaderHandle vertex, TShaderHandle pixel, std::string* error = nullptr);
  // The text as compiled in the current context: for a desktop core
  // profile, ES 2.0 style text is given a version line and the words it
  // lacks there; elsewhere it is compiled as it is.
  static std::string TextForContext(TShaderKind kind, const std::string& text);
};

// Releases every GL object the materials made in the current context, which
// must be current and about to be destroyed. Safe to call more than once.
// (The materials also watch each context and drop what they made in it when
// it goes without this call: objects are then left to the context itself.)
void ReleaseMaterialsGL(QOpenGLContext* context);

// Subscribers are called after a GL context the materials drew with has gone
// (its textures must be handed to the materials again), on the thread that
// destroyed or released it, or that called NotifyContextReset. Subscribing
// and unsubscribing may be done from any thread, from a handler too.
int SubscribeContextReset(std::function<void()> handler);
void UnsubscribeContextReset(int id);
void NotifyContextReset();

// What a material draws with.
struct TDrawContext {
  QMatrix4x4 MVP;       // from the quad's coordinates to clip space
  // 0..1, used as it is (callers clamp).
  float Opacity = 1.0f;  // of whatever the picture is drawn in
};

// ---- materials ----

class TMaterial {
public:
  TMaterial() = default;
  virtual ~TMaterial() = default;
  TMaterial(const TMaterial&) = delete;
  TMaterial& operator=(const TMaterial&) = delete;

  // Registers the shaders; runs once (Apply calls it when needed).
  void Initialize();
  bool Initialized() const { return FInitialized; }
  // Binds the program and the textures in the current context and sets the
  // uniforms. False (and nothing to draw) when the program does not build or
  // a texture is missing.
  bool Apply(const TDrawContext& context);
  // The program Apply bound, for the drawer's attributes.
  QOpenGLShaderProgram* Program() const { return FProgram; }
  const std::string& LastError() const { return FError; }

  TShaderHandle VertexShader() const { return FVertexShader; }
  TShaderHandle PixelShader() const { return FPixelShader; }

  // The change notification: the picture changed, whatever draws the
  // material should draw again. NotifyChange counts the change and calls
  // OnChange on its own thread: the one that changed the textures, or the
  // one a context reset runs on.
  std::function<void(TMaterial*)> OnChange;
  uint64_t ChangeCount() const { return FChangeCount; }
  void NotifyChange();

protected:
  virtual void DoInitialize() = 0;
  // False, with the reason, when the current context cannot draw the
  // material at all (its shaders are then not even compiled).
  virtual bool Available(std::string&) const { return true; }
  virtual bool DoApply(const TDrawContext& context, QOpenGLShaderProgram& program) = 0;
  // Sets uniform `name` (the name without the underscore) when the program
  // has it.
  static void SetOpacity(QOpenGLShaderProgram& program, float opacity);
  static void SetConversion(QOpenGLShaderProgram& program, const TYuvConversion& c);
  static bool BindTexture(QOpenGLShaderProgram& program, const char* name, TTexture* texture, int unit);

  TShaderHandle FVertexShader = 0;
  TShaderHandle FPixelShader = 0;

private:
  bool FInitialized = false;
  QOpenGLShaderProgram* FProgram = nullptr;
  std::string FError;
  uint64_t FChangeCount = 0;
};

// The YUV materials' colour conversion (TYuvConversion::Default until set).
class TYuvMaterialBase : public TMaterial {
public:
  const TYuvConversion& Conversion() const { return FConversion; }
  void SetConversion(const TYuvConversion& c) { FConversion = c; }

protected:
  TYuvConversion FConversion = TYuvConversion::Default();
};

// Three one-channel planes: Y, U and V (the U and V ones may be smaller).
class TYuvHPTextureMaterial : public TYuvMaterialBase {
public:
  TTexture* YTexture() const { return FYTexture; }
  TTexture* UTexture() const { return FUTexture; }
  TTexture* VTexture() const { return FVTexture; }
  void SetYTexture(TTexture* v);
  void SetUTexture(TTexture* v);
  void SetVTexture(TTexture* v);
  bool TextureChanged() const { return FTextureChanged; }
  void SetTextureChanged(bool v);

protected:
  void DoInitialize() override;
  bool DoApply(const TDrawContext& context, QOpenGLShaderProgram& program) override;
  void DoChange();

private:
  TTexture* FYTexture = nullptr;
  TTexture* FUTexture = nullptr;
  TTexture* FVTexture = nullptr;
  bool FTextureChanged = false;
};

// Y in a one-channel plane, U and V interleaved in a two-channel one (NV12).
class TNVTextureMaterial : public TYuvMaterialBase {
public:
  TTexture* YTexture() const { return FYTexture; }
  TTexture* UVTexture() const { return FUVTexture; }
  void SetYTexture(TTexture* v);
  void SetUVTexture(TTexture* v);
  bool TextureChanged() const { return FTextureChanged; }
  void SetTextureChanged(bool v);

protected:
  void DoInitialize() override;
  bool DoApply(const TDrawContext& context, QOpenGLShaderProgram& program) override;
  void DoChange();

private:
  TTexture* FYTexture = nullptr;
  TTexture* FUVTexture = nullptr;
  bool FTextureChanged = false;
};

// One four-channel texture whose red, green and blue hold Y, U and V. The
// opacity scales the converted colour (with its alpha), so it fades the
// picture instead of tinting it.
class TYuvTextureMaterial : public TYuvMaterialBase {
public:
  TTexture* Texture() const { return FTexture; }
  void SetTexture(TTexture* v);

protected:
  void DoInitialize() override;
  bool DoApply(const TDrawContext& context, QOpenGLShaderProgram& program) override;

private:
  TTexture* FTexture = nullptr;
};

// One RGBA texture drawn as it is, times the opacity (cover pictures and
// players in RGB mode).
class TRgbTextureMaterial : public TMaterial {
public:
  TTexture* Texture() const { return FTexture; }
  void SetTexture(TTexture* v);

protected:
  void DoInitialize() override;
  bool DoApply(const TDrawContext& context, QOpenGLShaderProgram& program) override;

private:
  TTexture* FTexture = nullptr;
};

// One external texture (GL_OES_EGL_image_external), sampled as RGB times
// the opacity. Exists only where a context offers the extension; Apply
// fails elsewhere. The ST matrix transforms the texture coordinates once it
// has been set; until then they are used as they are.
class TVideoTextureMaterial : public TMaterial {
public:
  TTexture* Texture() const { return FTexture; }
  void SetTexture(TTexture* v) { FTexture = v; }
  const QMatrix4x4& STMatrix() const { return FSTMatrix; }
  void SetSTMatrix(const QMatrix4x4& m);
  bool STMatrixSet() const { return FSTMatrixSet; }
  // True when the current context offers external textures.
  static bool Supported();

protected:
  void DoInitialize() override;
  bool Available(std::string& why) const override;
  bool DoApply(const TDrawContext& context, QOpenGLShaderProgram& program) override;

private:
  TTexture* FTexture = nullptr;
  QMatrix4x4 FSTMatrix;
  bool FSTMatrixSet = false;
};

// Draws material over rect (in the coordinates context.MVP maps), texture
// coordinates (0, 0) at rect's top left. False when the material could not
// be applied. The current context must be the one to draw into.
bool DrawMaterialQuad(TMaterial& material, const TDrawContext& context, const QRectF& rect);

// ---- material sources ----

class TMaterialSource : public TComponent {
public:
  explicit TMaterialSource(TComponent* owner = nullptr);
  ~TMaterialSource() override;
  // The material drawn with this source, made on first use, with the
  // committed textures handed over.
  TMaterial* Material();

protected:
  virtual std::unique_ptr<TMaterial> CreateMaterial() = 0;
  virtual void DoTextureChanged() = 0;
  void ContextResetHandler() { DoTextureChanged(); }
  std::unique_ptr<TMaterial> FMaterial;

private:
  int FContextResetId = 0;
};

// Three planes, YUV420P style. Setting a plane changes nothing on screen
// until TextureChanged is set; the material is told of the change only when
// all three planes hold pixels.
class TYuvHPTextureMaterialSource : public TMaterialSource {
public:
  explicit TYuvHPTextureMaterialSource(TComponent* owner = nullptr);
  const TPlaneBitmap& YTexture() const { return FYTexture; }
  const TPlaneBitmap& UTexture() const { return FUTexture; }
  const TPlaneBitmap& VTexture() const { return FVTexture; }
  void SetYTexture(const TPlaneBitmap& v) { FYTexture.Assign(v); }
  void SetUTexture(const TPlaneBitmap& v) { FUTexture.Assign(v); }
  void SetVTexture(const TPlaneBitmap& v) { FVTexture.Assign(v); }
  // The planes for writing in place (the same rule: nothing shows until
  // TextureChanged).
  TPlaneBitmap& Plane(int index) { return index == 0 ? FYTexture : index == 1 ? FUTexture : FVTexture; }
  bool TextureChanged() const { return FTextureChanged; }
  void SetTextureChanged(bool v);
  TYuvHPTextureMaterial* YuvMaterial() { return static_cast<TYuvHPTextureMaterial*>(Material()); }

protected:
  std::unique_ptr<TMaterial> CreateMaterial() override { return std::make_unique<TYuvHPTextureMaterial>(); }
  void DoTextureChanged() override;

private:
  TTextureBitmap FYTexture, FUTexture, FVTexture;
  bool FTextureChanged = false;
};

// Two planes, NV12 style: Y, and U with V interleaved. The material is told
// of the change when both planes hold pixels.
class TNVTextureMaterialSource : public TMaterialSource {
public:
  explicit TNVTextureMaterialSource(TComponent* owner = nullptr);
  const TPlaneBitmap& YTexture() const { return FYTexture; }
  const TPlaneBitmap& UVTexture() const { return FUVTexture; }
  void SetYTexture(const TPlaneBitmap& v) { FYTexture.Assign(v); }
  void SetUVTexture(const TPlaneBitmap& v) { FUVTexture.Assign(v); }
  TPlaneBitmap& Plane(int index) { return index == 0 ? FYTexture : FUVTexture; }
  bool TextureChanged() const { return FTextureChanged; }
  void SetTextureChanged(bool v);
  TNVTextureMaterial* NVMaterial() { return static_cast<TNVTextureMaterial*>(Material()); }

protected:
  std::unique_ptr<TMaterial> CreateMaterial() override { return std::make_unique<TNVTextureMaterial>(); }
  void DoTextureChanged() override;

private:
  TTextureBitmap FYTexture;
  bool FTextureChanged = false;
  TTextureBitmap FUVTexture;
};

// One four-channel plane with Y, U, V in its first three channels. Setting
// Texture hands it to the material at once and asks for a redraw.
class TYuvTextureMaterialSource : public TMaterialSource {
public:
  explicit TYuvTextureMaterialSource(TComponent* owner = nullptr);
  const TPlaneBitmap& Texture() const { return FTexture; }
  void SetTexture(const TPlaneBitmap& v);

protected:
  std::unique_ptr<TMaterial> CreateMaterial() override { return std::make_unique<TYuvTextureMaterial>(); }
  void DoTextureChanged() override;

private:
  TTextureBitmap FTexture;
};

// One RGBA plane, drawn as it is.
class TRgbTextureMaterialSource : public TMaterialSource {
public:
  explicit TRgbTextureMaterialSource(TComponent* owner = nullptr);
  const TPlaneBitmap& Texture() const { return FTexture; }
  TPlaneBitmap& Plane() { return FTexture; }
  void SetTexture(const TPlaneBitmap& v);
  // Hands the plane as it is now to the material and asks for a redraw.
  void UpdateTexture() { DoTextureChanged(); }

protected:
  std::unique_ptr<TMaterial> CreateMaterial() override { return std::make_unique<TRgbTextureMaterial>(); }
  void DoTextureChanged() override;

private:
  TTextureBitmap FTexture;
};

// An external texture made by a platform video surface.
class TVideoTextureMaterialSource : public TMaterialSource {
public:
  explicit TVideoTextureMaterialSource(TComponent* owner = nullptr);
  TTexture& Texture() { return FTexture; }
  // Hands the texture to the material when it has a GPU handle.
  void UpdateTexture() { DoTextureChanged(); }

protected:
  std::unique_ptr<TMaterial> CreateMaterial() override { return std::make_unique<TVideoTextureMaterial>(); }
  void DoTextureChanged() override;

private:
  TTexture FTexture;
};

}  // namespace kivora
