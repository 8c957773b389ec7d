#include "kivora/presentation/materials.h"

#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>
#include <QOpenGLFunctions>
#include <QOpenGLShaderProgram>
#include <QMatrix3x3>
#include <QSurfaceFormat>
#include <QVector4D>
#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "kivora/platform/classes.h"

#ifndef GL_LUMINANCE
#define GL_LUMINANCE 0x1909
#endif
#ifndef GL_LUMINANCE_ALPHA
#define GL_LUMINANCE_ALPHA 0x190A
#endif
#ifndef GL_RED
#define GL_RED 0x1903
#endif
#ifndef GL_RG
#define GL_RG 0x8227
#endif
#ifndef GL_R8
#define GL_R8 0x8229
#endif
#ifndef GL_RG8
#define GL_RG8 0x822B
#endif
#ifndef GL_TEXTURE_SWIZZLE_R
#define GL_TEXTURE_SWIZZLE_R 0x8E42
#define GL_TEXTURE_SWIZZLE_G 0x8E43
#define GL_TEXTURE_SWIZZLE_B 0x8E44
#define GL_TEXTURE_SWIZZLE_A 0x8E45
#endif
#ifndef GL_TEXTURE_EXTERNAL_OES
#define GL_TEXTURE_EXTERNAL_OES 0x8D65
#endif

namespace kivora {

// ---- what the materials made in each GL context ----

struct TGLContextState {
  std::map<std::pair<TShaderHandle, TShaderHandle>, std::unique_ptr<QOpenGLShaderProgram>> Programs;
  std::set<TTexture*> Textures;
  std::vector<GLuint> DeadTextures;  // of textures destroyed while the context was not current
  GLuint Buffer = 0;
  GLuint VertexArray = 0;
  QMetaObject::Connection Watch;

  static unsigned IdOf(const TTexture* t) { return t->FId; }
  static void Forget(TTexture* t) { t->ForgetGL(); }
};

namespace {

std::mutex& StatesLock() {
  static std::mutex m;
  return m;
}
// Never destroyed: textures and sources may outlive static destruction order.
std::map<QOpenGLContext*, TGLContextState>& States() {
  static auto* s = new std::map<QOpenGLContext*, TGLContextState>;
  return *s;
}

bool IsCore(QOpenGLContext* ctx) {
  return !ctx->isOpenGLES() && ctx->format().profile() == QSurfaceFormat::CoreProfile;
}

void DropContext(QOpenGLContext* ctx);

// The state of ctx, watched for its destruction. Called with the lock held.
TGLContextState& StateLocked(QOpenGLContext* ctx) {
  auto [it, made] = States().try_emplace(ctx);
  if (made)
    it->second.Watch = QObject::connect(ctx, &QOpenGLContext::aboutToBeDestroyed, [ctx] { DropContext(ctx); });
  return it->second;
}

// Deletes the textures destroyed elsewhere; ctx is current.
void FlushDeadLocked(QOpenGLContext* ctx, TGLContextState& st) {
  if (st.DeadTextures.empty()) return;
  ctx->functions()->glDeleteTextures(static_cast<GLsizei>(st.DeadTextures.size()), st.DeadTextures.data());
  st.DeadTextures.clear();
}

void DropContext(QOpenGLContext* ctx) {
  bool had = false;
  {
    std::lock_guard<std::mutex> g(StatesLock());
    auto it = States().find(ctx);
    if (it == States().end()) return;
    had = true;
    TGLContextState st = std::move(it->second);
    States().erase(it);
    QObject::disconnect(st.Watch);
    const bool current = QOpenGLContext::currentContext() == ctx;
    std::vector<GLuint> ids = std::move(st.DeadTextures);
    for (TTexture* t : st.Textures) {
      if (unsigned id = TGLContextState::IdOf(t)) ids.push_back(id);
      TGLContextState::Forget(t);
    }
    if (current) {
      QOpenGLFunctions* f = ctx->functions();
      if (!ids.empty()) f->glDeleteTextures(static_cast<GLsizei>(ids.size()), ids.data());
      if (st.Buffer) f->glDeleteBuffers(1, &st.Buffer);
      if (st.VertexArray) {
        if (auto* e = ctx->extraFunctions()) e->glDeleteVertexArrays(1, &st.VertexArray);
      }
    }
    // The programs guard their own GL objects against a context that is
    // not current.
    st.Programs.clear();
  }
  if (had) NotifyContextReset();
}

struct TResetSubscribers {
  std::mutex Lock;
  int Next = 1;
  std::map<int, std::function<void()>> Handlers;
};
TResetSubscribers& Subscribers() {
  static auto* s = new TResetSubscribers;
  return *s;
}

int ChannelsOf(TPixelFormat f) {
  switch (f) {
    case TPixelFormat::L:
      return 1;
    case TPixelFormat::LA:
      return 2;
    case TPixelFormat::RGBA:
      return 4;
    default:
      return 0;
  }
}

}  // namespace

void ReleaseMaterialsGL(QOpenGLContext* context) {
  if (context) DropContext(context);
}

int SubscribeContextReset(std::function<void()> handler) {
  auto& s = Subscribers();
  std::lock_guard<std::mutex> g(s.Lock);
  const int id = s.Next++;
  s.Handlers.emplace(id, std::move(handler));
  return id;
}

void UnsubscribeContextReset(int id) {
  auto& s = Subscribers();
  std::lock_guard<std::mutex> g(s.Lock);
  s.Handlers.erase(id);
}

void NotifyContextReset() {
  std::vector<int> ids;
  {
    auto& s = Subscribers();
    std::lock_guard<std::mutex> g(s.Lock);
    for (auto& [id, h] : s.Handlers) ids.push_back(id);
  }
  // Each handler is looked up again: an earlier one may have unsubscribed it.
  for (int id : ids) {
    std::function<void()> h;
    {
      auto& s = Subscribers();
      std::lock_guard<std::mutex> g(s.Lock);
      auto it = s.Handlers.find(id);
      if (it == s.Handlers.end()) continue;
      h = it->second;
    }
    h();
  }
}

// ---- TTexture ----

TTexture::TTexture() = default;

TTexture::~TTexture() {
  if (!FContext) return;
  std::lock_guard<std::mutex> g(StatesLock());
  auto it = States().find(FContext);
  if (it == States().end()) return;
  it->second.Textures.erase(this);
  if (!FId) return;
  if (QOpenGLContext::currentContext() == FContext) FContext->functions()->glDeleteTextures(1, &FId);
  else it->second.DeadTextures.push_back(FId);
}

void TTexture::ForgetGL() {
  FId = 0;
  FContext = nullptr;
  FUploadedVersion = 0;
  FUploadedFormat = TPixelFormat::None;
  FUploadedWidth = FUploadedHeight = 0;
}

void TTexture::SetPixelFormat(TPixelFormat v) {
  if (v == FPixelFormat) return;
  FPixelFormat = v;
  FUploadedVersion = 0;  // uploaded again in the new format
}

void TTexture::SetContents(const TPlaneBitmap::Snapshot& s) {
  FContents = s;
  ++FVersion;
}

void TTexture::SetExternalHandle(unsigned handle, QOpenGLContext* context) {
  FExternal = handle;
  FExternalContext = context;
}

bool TTexture::Bind(int unit) {
  QOpenGLContext* ctx = QOpenGLContext::currentContext();
  if (!ctx) return false;
  QOpenGLFunctions* f = ctx->functions();
  if (FExternal) {
    if (FExternalContext && FExternalContext != ctx && !QOpenGLContext::areSharing(FExternalContext, ctx)) return false;
    f->glActiveTexture(GL_TEXTURE0 + unit);
    f->glBindTexture(GL_TEXTURE_EXTERNAL_OES, FExternal);
    return true;
  }
  const int channels = ChannelsOf(FPixelFormat);
  if (!FContents.Data || channels == 0 || FContents.Channels != channels) return false;
  std::lock_guard<std::mutex> g(StatesLock());
  TGLContextState& st = StateLocked(ctx);
  FlushDeadLocked(ctx, st);
  if (FContext != ctx) {
    if (FContext && FId) {
      auto old = States().find(FContext);
      if (old != States().end()) {
        old->second.Textures.erase(this);
        old->second.DeadTextures.push_back(FId);
      }
    }
    ForgetGL();
    FContext = ctx;
    st.Textures.insert(this);
  }
  f->glActiveTexture(GL_TEXTURE0 + unit);
  if (!FId) {
    f->glGenTextures(1, &FId);
    f->glBindTexture(GL_TEXTURE_2D, FId);
    f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  } else {
    f->glBindTexture(GL_TEXTURE_2D, FId);
  }
  if (FUploadedVersion == FVersion && FUploadedFormat == FPixelFormat) return true;

  // A core profile has no luminance formats: one- and two-channel textures
  // are red and red-green ones whose channels are swizzled so that the
  // shaders read them as they read luminance (alpha).
  const bool core = IsCore(ctx);
  GLenum internal = GL_RGBA, format = GL_RGBA;
  if (FPixelFormat == TPixelFormat::L) {
    internal = core ? GL_R8 : GL_LUMINANCE;
    format = core ? GL_RED : GL_LUMINANCE;
  } else if (FPixelFormat == TPixelFormat::LA) {
    internal = core ? GL_RG8 : GL_LUMINANCE_ALPHA;
    format = core ? GL_RG : GL_LUMINANCE_ALPHA;
  }
  const int w = FContents.Width, h = FContents.Height;
  const uint8_t* data = FContents.Data->data();
  const bool packed = FContents.Pitch == w * channels;
  f->glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  if (FUploadedFormat != FPixelFormat || FUploadedWidth != w || FUploadedHeight != h) {
    f->glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(internal), w, h, 0, format, GL_UNSIGNED_BYTE,
                    packed ? data : nullptr);
    if (core && FPixelFormat != TPixelFormat::RGBA) {
      const GLint a = FPixelFormat == TPixelFormat::L ? GL_ONE : GL_GREEN;
      f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_SWIZZLE_R, GL_RED);
      f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_SWIZZLE_G, GL_RED);
      f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_SWIZZLE_B, GL_RED);
      f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_SWIZZLE_A, a);
    }
    FUploadedFormat = FPixelFormat;
    FUploadedWidth = w;
    FUploadedHeight = h;
    if (!packed)
      for (int y = 0; y < h; ++y)
        f->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, y, w, 1, format, GL_UNSIGNED_BYTE, data + static_cast<size_t>(y) * FContents.Pitch);
  } else if (packed) {
    f->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, w, h, format, GL_UNSIGNED_BYTE, data);
  } else {
    // Rows one by one: OpenGL ES 2.0 has no row length to skip the padding.
    for (int y = 0; y < h; ++y)
      f->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, y, w, 1, format, GL_UNSIGNED_BYTE, data + static_cast<size_t>(y) * FContents.Pitch);
  }
  f->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  FUploadedVersion = FVersion;
  ++FUploads;
  return true;
}

// ---- shaders ----

namespace {

struct TRegistry {
  std::mutex Lock;
  std::deque<TShaderRegistry::Entry> Entries;  // handle = index + 1; never shrinks
};
TRegistry& Registry() {
  static auto* r = new TRegistry;
  return *r;
}

}  // namespace

TShaderHandle TShaderRegistry::Register(TShaderKind kind, const std::string& name, const std::string& text,
                                        const std::vector<TShaderVariable>& variables) {
  auto& r = Registry();
  std::lock_guard<std::mutex> g(r.Lock);
  for (size_t i = 0; i < r.Entries.size(); ++i) {
    const Entry& e = r.Entries[i];
    if (e.Kind == kind && e.Name == name && e.Text == text) return static_cast<TShaderHandle>(i + 1);
  }
  r.Entries.push_back(Entry{kind, name, text, variables});
  return static_cast<TShaderHandle>(r.Entries.size());
}

const TShaderRegistry::Entry* TShaderRegistry::Find(TShaderHandle handle) {
  auto& r = Registry();
  std::lock_guard<std::mutex> g(r.Lock);
  if (handle <= 0 || static_cast<size_t>(handle) > r.Entries.size()) return nullptr;
  // Elements of a deque stay where they are when more are added.
  return &r.Entries[static_cast<size_t>(handle) - 1];
}

std::string TShaderRegistry::TextForContext(TShaderKind kind, const std::string& text) {
  QOpenGLContext* ctx = QOpenGLContext::currentContext();
  if (!ctx || !IsCore(ctx)) return text;
  if (kind == TShaderKind::Vertex) return "#version 150\n#define attribute in\n#define varying out\n" + text;
  return "#version 150\n#define varying in\n#define texture2D texture\nout vec4 kivora_FragColor;\n"
         "#define gl_FragColor kivora_FragColor\n" +
         text;
}

QOpenGLShaderProgram* TShaderRegistry::Program(TShaderHandle vertex, TShaderHandle pixel, std::string* error) {
  QOpenGLContext* ctx = QOpenGLContext::currentContext();
  if (!ctx) {
    if (error) *error = "no current OpenGL context";
    return nullptr;
  }
  Entry vs, ps;
  {
    const Entry* v = Find(vertex);
    const Entry* p = Find(pixel);
    if (!v || !p || v->Kind != TShaderKind::Vertex || p->Kind != TShaderKind::Pixel) {
      if (error) *error = "unknown shader";
      return nullptr;
    }
    std::lock_guard<std::mutex> g(Registry().Lock);
    vs = *v;
    ps = *p;
  }
  std::lock_guard<std::mutex> g(StatesLock());
  TGLContextState& st = StateLocked(ctx);
  auto& slot = st.Programs[{vertex, pixel}];
  if (slot) return slot.get();
  auto program = std::make_unique<QOpenGLShaderProgram>();
  const std::string vtext = TextForContext(TShaderKind::Vertex, vs.Text);
  const std::string ptext = TextForContext(TShaderKind::Pixel, ps.Text);
  if (!program->addShaderFromSourceCode(QOpenGLShader::Vertex, vtext.c_str()) ||
      !program->addShaderFromSourceCode(QOpenGLShader::Fragment, ptext.c_str()) || !program->link()) {
    if (error) *error = vs.Name + " + " + ps.Name + ": " + program->log().toStdString();
    st.Programs.erase({vertex, pixel});
    return nullptr;
  }
  slot = std::move(program);
  return slot.get();
}

namespace {

// Shared by every material but the external one: the position through the
// MVP matrix given as four rows, the texture coordinates as they are.
const char* const kVertexText =
    "attribute vec3 a_Position;\n"
    "attribute vec2 a_TexCoord0;\n"
    "uniform vec4 _MVPMatrix[4];\n"
    "varying vec4 TEX0;\n"
    "void main() {\n"
    "  vec4 p = vec4(a_Position, 1.0);\n"
    "  gl_Position = vec4(dot(_MVPMatrix[0], p), dot(_MVPMatrix[1], p), dot(_MVPMatrix[2], p), dot(_MVPMatrix[3], p));\n"
    "  TEX0 = vec4(a_TexCoord0, 0.0, 0.0);\n"
    "}\n";

const char* const kExternalVertexText =
    "attribute vec3 a_Position;\n"
    "attribute vec2 a_TexCoord0;\n"
    "uniform vec4 _MVPMatrix[4];\n"
    "uniform mat4 _STMatrix;\n"
    "varying vec4 TEX0;\n"
    "void main() {\n"
    "  vec4 p = vec4(a_Position, 1.0);\n"
    "  gl_Position = vec4(dot(_MVPMatrix[0], p), dot(_MVPMatrix[1], p), dot(_MVPMatrix[2], p), dot(_MVPMatrix[3], p));\n"
    "  TEX0 = vec4((_STMatrix * vec4(a_TexCoord0, 0.0, 1.0)).xy, 0.0, 0.0);\n"
    "}\n";

#define KIVORA_PRECISION "#ifdef GL_ES\nprecision mediump float;\n#endif\n"

const char* const kPlanarText = KIVORA_PRECISION
    "varying vec4 TEX0;\n"
    "uniform sampler2D _textureY;\n"
    "uniform sampler2D _textureU;\n"
    "uniform sampler2D _textureV;\n"
    "uniform vec3 _YuvOffset;\n"
    "uniform mat3 _YuvMatrix;\n"
    "void main() {\n"
    "  vec3 yuv = vec3(texture2D(_textureY, TEX0.xy).r, texture2D(_textureU, TEX0.xy).r,\n"
    "                  texture2D(_textureV, TEX0.xy).r) - _YuvOffset;\n"
    "  gl_FragColor = vec4(_YuvMatrix * yuv, 1.0);\n"
    "}\n";

const char* const kNVText = KIVORA_PRECISION
    "varying vec4 TEX0;\n"
    "uniform sampler2D _textureY;\n"
    "uniform sampler2D _textureUV;\n"
    "uniform vec3 _YuvOffset;\n"
    "uniform mat3 _YuvMatrix;\n"
    "void main() {\n"
    "  vec4 uv = texture2D(_textureUV, TEX0.xy);\n"
    "  vec3 yuv = vec3(texture2D(_textureY, TEX0.xy).r, uv.r, uv.a) - _YuvOffset;\n"
    "  gl_FragColor = vec4(_YuvMatrix * yuv, 1.0);\n"
    "}\n";

const char* const kPackedText = KIVORA_PRECISION
    "varying vec4 TEX0;\n"
    "uniform sampler2D _texture0;\n"
    "uniform float _Opacity;\n"
    "uniform vec3 _YuvOffset;\n"
    "uniform mat3 _YuvMatrix;\n"
    "void main() {\n"
    "  vec3 yuv = texture2D(_texture0, TEX0.xy).rgb - _YuvOffset;\n"
    "  gl_FragColor = vec4(_YuvMatrix * yuv, 1.0) * _Opacity;\n"
    "}\n";

const char* const kRgbText = KIVORA_PRECISION
    "varying vec4 TEX0;\n"
    "uniform sampler2D _texture0;\n"
    "uniform float _Opacity;\n"
    "void main() {\n"
    "  gl_FragColor = texture2D(_texture0, TEX0.xy) * _Opacity;\n"
    "}\n";

const char* const kExternalText =
    "#extension GL_OES_EGL_image_external : require\n"
    "precision mediump float;\n"
    "varying vec4 TEX0;\n"
    "uniform samplerExternalOES _texture0;\n"
    "uniform float _Opacity;\n"
    "void main() {\n"
    "  gl_FragColor = texture2D(_texture0, TEX0.xy) * _Opacity;\n"
    "}\n";

const std::vector<TShaderVariable> kVertexVars{{"MVPMatrix", TShaderVariableKind::Matrix, 4}};
const TShaderVariable kConversionVars[2] = {{"YuvOffset", TShaderVariableKind::Float3, 1},
                                            {"YuvMatrix", TShaderVariableKind::Matrix, 3}};

std::string Uniform(const char* name) { return std::string("_") + name; }

}  // namespace

// ---- TMaterial ----

void TMaterial::Initialize() {
  if (FInitialized) return;
  DoInitialize();
  FInitialized = true;
}

bool TMaterial::Apply(const TDrawContext& context) {
  Initialize();
  FProgram = nullptr;
  if (!Available(FError)) return false;
  FProgram = TShaderRegistry::Program(FVertexShader, FPixelShader, &FError);
  if (!FProgram) return false;
  if (!FProgram->bind()) {
    FError = "the program cannot be bound";
    return false;
  }
  QVector4D rows[4];
  for (int i = 0; i < 4; ++i) rows[i] = context.MVP.row(i);
  FProgram->setUniformValueArray(Uniform("MVPMatrix").c_str(), rows, 4);
  if (!DoApply(context, *FProgram)) {
    FProgram->release();
    return false;
  }
  FError.clear();
  return true;
}

void TMaterial::NotifyChange() {
  ++FChangeCount;
  if (OnChange) OnChange(this);
}

void TMaterial::SetOpacity(QOpenGLShaderProgram& program, float opacity) {
  program.setUniformValue(Uniform("Opacity").c_str(), opacity);
}

void TMaterial::SetConversion(QOpenGLShaderProgram& program, const TYuvConversion& c) {
  program.setUniformValue(Uniform("YuvOffset").c_str(), c.Offset[0], c.Offset[1], c.Offset[2]);
  program.setUniformValue(Uniform("YuvMatrix").c_str(), QMatrix3x3(c.Matrix));
}

bool TMaterial::BindTexture(QOpenGLShaderProgram& program, const char* name, TTexture* texture, int unit) {
  if (!texture || !texture->Bind(unit)) return false;
  program.setUniformValue(Uniform(name).c_str(), unit);
  return true;
}

// ---- the materials ----

void TYuvHPTextureMaterial::SetYTexture(TTexture* v) {
  if (v == FYTexture) return;
  FYTexture = v;
  if (v) v->SetPixelFormat(TPixelFormat::L);
}
void TYuvHPTextureMaterial::SetUTexture(TTexture* v) {
  if (v == FUTexture) return;
  FUTexture = v;
  if (v) v->SetPixelFormat(TPixelFormat::L);
}
void TYuvHPTextureMaterial::SetVTexture(TTexture* v) {
  if (v == FVTexture) return;
  FVTexture = v;
  if (v) v->SetPixelFormat(TPixelFormat::L);
}

void TYuvHPTextureMaterial::SetTextureChanged(bool v) {
  FTextureChanged = v;
  DoChange();
}

void TYuvHPTextureMaterial::DoChange() {
  if (!FTextureChanged) return;
  FTextureChanged = false;
  NotifyChange();
}

void TYuvHPTextureMaterial::DoInitialize() {
  FVertexShader = TShaderRegistry::Register(TShaderKind::Vertex, "texture.fvs", kVertexText, kVertexVars);
  FPixelShader = TShaderRegistry::Register(TShaderKind::Pixel, "texture.fps", kPlanarText,
                                           {{"textureY", TShaderVariableKind::Texture, 1},
                                            {"textureU", TShaderVariableKind::Texture, 1},
                                            {"textureV", TShaderVariableKind::Texture, 1},
                                            kConversionVars[0],
                                            kConversionVars[1]});
}

bool TYuvHPTextureMaterial::DoApply(const TDrawContext&, QOpenGLShaderProgram& program) {
  if (!BindTexture(program, "textureY", FYTexture, 0) || !BindTexture(program, "textureU", FUTexture, 1) ||
      !BindTexture(program, "textureV", FVTexture, 2))
    return false;
  TMaterial::SetConversion(program, FConversion);
  return true;
}

void TNVTextureMaterial::SetYTexture(TTexture* v) {
  if (v == FYTexture) return;
  FYTexture = v;
  if (v) v->SetPixelFormat(TPixelFormat::L);
}
void TNVTextureMaterial::SetUVTexture(TTexture* v) {
  if (v == FUVTexture) return;
  FUVTexture = v;
  if (v) v->SetPixelFormat(TPixelFormat::LA);
}

void TNVTextureMaterial::SetTextureChanged(bool v) {
  FTextureChanged = v;
  DoChange();
}

void TNVTextureMaterial::DoChange() {
  if (!FTextureChanged) return;
  FTextureChanged = false;
  NotifyChange();
}

void TNVTextureMaterial::DoInitialize() {
  FVertexShader = TShaderRegistry::Register(TShaderKind::Vertex, "texture.fvs", kVertexText, kVertexVars);
  FPixelShader = TShaderRegistry::Register(TShaderKind::Pixel, "textureuv.fps", kNVText,
                                           {{"textureY", TShaderVariableKind::Texture, 1},
                                            {"textureUV", TShaderVariableKind::Texture, 1},
                                            kConversionVars[0],
                                            kConversionVars[1]});
}

bool TNVTextureMaterial::DoApply(const TDrawContext&, QOpenGLShaderProgram& program) {
  if (!BindTexture(program, "textureY", FYTexture, 0) || !BindTexture(program, "textureUV", FUVTexture, 1))
    return false;
  TMaterial::SetConversion(program, FConversion);
  return true;
}

void TYuvTextureMaterial::SetTexture(TTexture* v) {
  if (v == FTexture) return;
  FTexture = v;
  if (v) v->SetPixelFormat(TPixelFormat::RGBA);
}

void TYuvTextureMaterial::DoInitialize() {
  FVertexShader = TShaderRegistry::Register(TShaderKind::Vertex, "texture.fvs", kVertexText, kVertexVars);
  FPixelShader = TShaderRegistry::Register(TShaderKind::Pixel, "texture.fps", kPackedText,
                                           {{"Opacity", TShaderVariableKind::Float, 1},
                                            {"texture0", TShaderVariableKind::Texture, 1},
                                            kConversionVars[0],
                                            kConversionVars[1]});
}

bool TYuvTextureMaterial::DoApply(const TDrawContext& context, QOpenGLShaderProgram& program) {
  if (!BindTexture(program, "texture0", FTexture, 0)) return false;
  SetOpacity(program, context.Opacity);
  TMaterial::SetConversion(program, FConversion);
  return true;
}

void TRgbTextureMaterial::SetTexture(TTexture* v) {
  if (v == FTexture) return;
  FTexture = v;
  if (v) v->SetPixelFormat(TPixelFormat::RGBA);
}

void TRgbTextureMaterial::DoInitialize() {
  FVertexShader = TShaderRegistry::Register(TShaderKind::Vertex, "texture.fvs", kVertexText, kVertexVars);
  FPixelShader = TShaderRegistry::Register(
      TShaderKind::Pixel, "texturergb.fps", kRgbText,
      {{"Opacity", TShaderVariableKind::Float, 1}, {"texture0", TShaderVariableKind::Texture, 1}});
}

bool TRgbTextureMaterial::DoApply(const TDrawContext& context, QOpenGLShaderProgram& program) {
  if (!BindTexture(program, "texture0", FTexture, 0)) return false;
  SetOpacity(program, context.Opacity);
  return true;
}

void TVideoTextureMaterial::SetSTMatrix(const QMatrix4x4& m) {
  FSTMatrix = m;
  FSTMatrixSet = true;
}

bool TVideoTextureMaterial::Supported() {
  QOpenGLContext* ctx = QOpenGLContext::currentContext();
  return ctx && ctx->hasExtension("GL_OES_EGL_image_external");
}

bool TVideoTextureMaterial::Available(std::string& why) const {
  if (Supported()) return true;
  why = "this OpenGL context has no external textures (GL_OES_EGL_image_external)";
  return false;
}

void TVideoTextureMaterial::DoInitialize() {
  FVertexShader = TShaderRegistry::Register(
      TShaderKind::Vertex, "texture.fvs", kExternalVertexText,
      {{"MVPMatrix", TShaderVariableKind::Matrix, 4}, {"STMatrix", TShaderVariableKind::Matrix, 4}});
  FPixelShader = TShaderRegistry::Register(
      TShaderKind::Pixel, "texture.fps", kExternalText,
      {{"Opacity", TShaderVariableKind::Float, 1}, {"texture0", TShaderVariableKind::Texture, 1}});
}

bool TVideoTextureMaterial::DoApply(const TDrawContext& context, QOpenGLShaderProgram& program) {
  if (!FTexture || !FTexture->ExternalHandle() || !BindTexture(program, "texture0", FTexture, 0)) return false;
  SetOpacity(program, context.Opacity);
  // A matrix nobody set would collapse every coordinate to one point.
  program.setUniformValue(Uniform("STMatrix").c_str(), FSTMatrixSet ? FSTMatrix : QMatrix4x4());
  return true;
}

bool DrawMaterialQuad(TMaterial& material, const TDrawContext& context, const QRectF& rect) {
  QOpenGLContext* ctx = QOpenGLContext::currentContext();
  if (!ctx) return false;
  // Apply may fail for a context without external textures and so on:
  // the shader must be refused before anything is drawn.
  if (material.Apply(context) == false) return false;
  QOpenGLShaderProgram* program = material.Program();
  QOpenGLFunctions* f = ctx->functions();
  const float x0 = static_cast<float>(rect.left()), x1 = static_cast<float>(rect.right());
  const float y0 = static_cast<float>(rect.top()), y1 = static_cast<float>(rect.bottom());
  const float vertices[20] = {x0, y0, 0, 0, 0, x0, y1, 0, 0, 1, x1, y0, 0, 1, 0, x1, y1, 0, 1, 1};
  GLuint buffer = 0, vao = 0;
  {
    std::lock_guard<std::mutex> g(StatesLock());
    TGLContextState& st = StateLocked(ctx);
    if (!st.Buffer) f->glGenBuffers(1, &st.Buffer);
    // A core profile draws only with a vertex array object bound.
    if (IsCore(ctx) && !st.VertexArray) ctx->extraFunctions()->glGenVertexArrays(1, &st.VertexArray);
    buffer = st.Buffer;
    vao = st.VertexArray;
  }
  if (vao) ctx->extraFunctions()->glBindVertexArray(vao);
  f->glBindBuffer(GL_ARRAY_BUFFER, buffer);
  f->glBufferData(GL_ARRAY_BUFFER, sizeof(vertices), vertices, GL_STREAM_DRAW);
  const int pos = program->attributeLocation("a_Position");
  const int tex = program->attributeLocation("a_TexCoord0");
  if (pos >= 0) {
    program->enableAttributeArray(pos);
    program->setAttributeBuffer(pos, GL_FLOAT, 0, 3, 5 * sizeof(float));
  }
  if (tex >= 0) {
    program->enableAttributeArray(tex);
    program->setAttributeBuffer(tex, GL_FLOAT, 3 * sizeof(float), 2, 5 * sizeof(float));
  }
  // The shaders give premultiplied colour.
  f->glEnable(GL_BLEND);
  f->glBlendFunc(GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
  f->glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
  f->glDisable(GL_BLEND);
  if (pos >= 0) program->disableAttributeArray(pos);
  if (tex >= 0) program->disableAttributeArray(tex);
  f->glBindBuffer(GL_ARRAY_BUFFER, 0);
  if (vao) ctx->extraFunctions()->glBindVertexArray(0);
  f->glActiveTexture(GL_TEXTURE0);
  program->release();
  return true;
}

// ---- sources ----

TMaterialSource::TMaterialSource(TComponent* owner) : TComponent(owner) {
  FContextResetId = SubscribeContextReset([this] { ContextResetHandler(); });
}

TMaterialSource::~TMaterialSource() { UnsubscribeContextReset(FContextResetId); }

TMaterial* TMaterialSource::Material() {
  if (!FMaterial) {
    FMaterial = CreateMaterial();
    DoTextureChanged();
  }
  return FMaterial.get();
}

TYuvHPTextureMaterialSource::TYuvHPTextureMaterialSource(TComponent* owner) : TMaterialSource(owner) {}

void TYuvHPTextureMaterialSource::SetTextureChanged(bool v) {
  FTextureChanged = v;
  DoTextureChanged();
}

void TYuvHPTextureMaterialSource::DoTextureChanged() {
  auto* m = static_cast<TYuvHPTextureMaterial*>(FMaterial.get());
  if (!m) return;  // handed over when the material is made
  if (!FYTexture.IsEmpty()) {
    FYTexture.Commit();
    m->SetYTexture(&FYTexture.Texture());
  }
  if (!FUTexture.IsEmpty()) {
    FUTexture.Commit();
    m->SetUTexture(&FUTexture.Texture());
  }
  if (!FVTexture.IsEmpty()) {
    FVTexture.Commit();
    m->SetVTexture(&FVTexture.Texture());
  }
  if (!FYTexture.IsEmpty() && !FUTexture.IsEmpty() && !FVTexture.IsEmpty()) m->SetTextureChanged(true);
}

TNVTextureMaterialSource::TNVTextureMaterialSource(TComponent* owner) : TMaterialSource(owner) {}

void TNVTextureMaterialSource::SetTextureChanged(bool v) {
  FTextureChanged = v;
  DoTextureChanged();
}

void TNVTextureMaterialSource::DoTextureChanged() {
  auto* m = static_cast<TNVTextureMaterial*>(FMaterial.get());
  if (!m) return;
  if (!FYTexture.IsEmpty()) {
    FYTexture.Commit();
    m->SetYTexture(&FYTexture.Texture());
  }
  if (!FUVTexture.IsEmpty()) {
    FUVTexture.Commit();
    m->SetUVTexture(&FUVTexture.Texture());
  }
  // Told as the planar material is, or the screen would keep the old picture.
  if (!FYTexture.IsEmpty() && !FUVTexture.IsEmpty()) m->SetTextureChanged(true);
}

TYuvTextureMaterialSource::TYuvTextureMaterialSource(TComponent* owner) : TMaterialSource(owner) {}

void TYuvTextureMaterialSource::SetTexture(const TPlaneBitmap& v) {
  FTexture.Assign(v);
  DoTextureChanged();
}

void TYuvTextureMaterialSource::DoTextureChanged() {
  auto* m = static_cast<TYuvTextureMaterial*>(FMaterial.get());
  if (!m || FTexture.IsEmpty()) return;
  FTexture.Commit();
  m->SetTexture(&FTexture.Texture());
  m->NotifyChange();
}

TRgbTextureMaterialSource::TRgbTextureMaterialSource(TComponent* owner) : TMaterialSource(owner) {}

void TRgbTextureMaterialSource::SetTexture(const TPlaneBitmap& v) {
  FTexture.Assign(v);
  DoTextureChanged();
}

void TRgbTextureMaterialSource::DoTextureChanged() {
  auto* m = static_cast<TRgbTextureMaterial*>(FMaterial.get());
  if (!m || FTexture.IsEmpty()) return;
  FTexture.Commit();
  m->SetTexture(&FTexture.Texture());
  m->NotifyChange();
}

TVideoTextureMaterialSource::TVideoTextureMaterialSource(TComponent* owner) : TMaterialSource(owner) {}

void TVideoTextureMaterialSource::DoTextureChanged() {
  auto* m = static_cast<TVideoTextureMaterial*>(FMaterial.get());
  if (!m || !FTexture.ExternalHandle()) return;
  m->SetTexture(&FTexture);
  m->NotifyChange();
}

// Makes the classes known by name to stored forms and tools.
KIVORA_REGISTER_CLASS(TYuvTextureMaterialSource, "material source");
KIVORA_REGISTER_CLASS(TYuvHPTextureMaterialSource, "material source");
KIVORA_REGISTER_CLASS(TNVTextureMaterialSource, "material source");
KIVORA_REGISTER_CLASS(TVideoTextureMaterialSource, "material source");
KIVORA_REGISTER_CLASS(TRgbTextureMaterialSource, "material source");

}  // namespace kivora
