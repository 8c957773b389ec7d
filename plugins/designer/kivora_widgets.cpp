#include "kivora_widgets.h"

#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <exception>

#include "kivora/presentation/glview.h"
#include "kivora/presentation/videoview.h"
#include "kivora/presentation/view.h"
#include "kivora/preview/preview.h"
#include "kivora/runtime/register.h"

namespace kivora::designer {

namespace {

enum TGlyph { gPlay, gPreview, gSurface, gGpu };

// The widget box's pictures, drawn here rather than shipped as image files:
// a screen, with a mark saying what the widget shows on it.
QIcon PaintIcon(int glyph) {
  QIcon icon;
  for (int size : {16, 32}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    p.setPen(QPen(QColor(40, 40, 48), 2));
    p.setBrush(QColor(52, 96, 160));
    p.drawRoundedRect(QRectF(2, 5, 28, 22), 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    switch (glyph) {
      case gPlay: {
        QPainterPath tri;
        tri.moveTo(12, 10);
        tri.lineTo(22, 16);
        tri.lineTo(12, 22);
        tri.closeSubpath();
        p.drawPath(tri);
        break;
      }
      case gPreview:
        // One still picture and the point of time it was taken at.
        p.drawRect(QRectF(7, 9, 18, 10));
        p.setBrush(QColor(240, 190, 60));
        p.drawRect(QRectF(6, 22, 20, 2));
        p.drawEllipse(QPointF(17, 23), 2.5, 2.5);
        break;
      case gSurface:
        // A surface laid over the control.
        p.setPen(QPen(Qt::white, 1.5, Qt::DashLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(7, 10, 18, 12));
        break;
      default: {
        QFont f = p.font();
        f.setBold(true);
        f.setPixelSize(12);
        p.setFont(f);
        p.setPen(Qt::white);
        p.drawText(QRectF(2, 5, 28, 22), Qt::AlignCenter, QStringLiteral("GL"));
        break;
      }
    }
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

template <class T>
std::function<QWidget*(QWidget*)> Factory() {
  return [](QWidget* parent) -> QWidget* {
    auto* w = new T(parent);
    w->SetDesigning(true);
    return w;
  };
}

}  // namespace

TKivoraWidget::TKivoraWidget(TWidgetInfo info, QObject* parent) : QObject(parent), FInfo(std::move(info)) {}

QString TKivoraWidget::group() const { return QString::fromUtf8(KivoraPage); }

QIcon TKivoraWidget::icon() const { return PaintIcon(FInfo.Glyph); }

QWidget* TKivoraWidget::createWidget(QWidget* parent) {
  // Nothing may escape into Designer.
  try {
    return FInfo.Create(parent);
  } catch (const std::exception& e) {
    qWarning("Kivora: %s could not be made: %s", qPrintable(FInfo.Name), e.what());
  } catch (...) {
    qWarning("Kivora: %s could not be made", qPrintable(FInfo.Name));
  }
  return nullptr;
}

void TKivoraWidget::initialize(QDesignerFormEditorInterface*) { FInitialized = true; }

QString TKivoraWidget::domXml() const {
  return QStringLiteral(
             "<ui language=\"c++\">\n"
             " <widget class=\"%1\" name=\"%2\">\n"
             "  <property name=\"geometry\">\n"
             "   <rect><x>0</x><y>0</y><width>320</width><height>240</height></rect>\n"
             "  </property>\n"
             " </widget>\n"
             "%3"
             "</ui>\n")
      .arg(FInfo.Name, FInfo.ObjectName, FInfo.DomExtra);
}

TKivoraWidgets::TKivoraWidgets(QObject* parent) : QObject(parent) {
  const QList<TWidgetInfo> infos = {
      {QStringLiteral("kivora::TAVView"), QStringLiteral("kivora/presentation/view.h"),
       QStringLiteral("Shows the pictures of a player"),
       QStringLiteral("An image view: attach a TAVPlayer (in RGB mode) with SetPlayer and the view shows "
                      "every picture it plays, laid out by WrapMode."),
       QStringLiteral("avView"), QString(), gPlay, Factory<TAVView>()},
      {QStringLiteral("kivora::TAVPreview"), QStringLiteral("kivora/preview/preview.h"),
       QStringLiteral("Shows the picture of a media file at a chosen time"),
       QStringLiteral("A preview control: it opens InputFile by itself when made Active at run time and "
                      "shows the picture at timestamp (seconds)."),
       QStringLiteral("avPreview"),
       // A file name is not text to translate.
       QStringLiteral(" <customwidgets>\n"
                      "  <customwidget>\n"
                      "   <class>kivora::TAVPreview</class>\n"
                      "   <propertyspecifications>\n"
                      "    <stringpropertyspecification name=\"InputFile\" notr=\"true\" type=\"singleline\"/>\n"
                      "   </propertyspecifications>\n"
                      "  </customwidget>\n"
                      " </customwidgets>\n"),
       gPreview, Factory<TAVPreview>()},
      {QStringLiteral("kivora::TVideoView"), QStringLiteral("kivora/presentation/videoview.h"),
       QStringLiteral("Places a platform video surface over its area"),
       QStringLiteral("A video view: attached to a TAVPlayer, it passes its geometry and visibility on to "
                      "the platform surface that shows the pictures."),
       QStringLiteral("videoView"), QString(), gSurface, Factory<TVideoView>()},
      {QStringLiteral("kivora::TAVGLView"), QStringLiteral("kivora/presentation/glview.h"),
       QStringLiteral("Shows the pictures of a player on the GPU"),
       QStringLiteral("A GPU view: it takes the player's YUV or NV12 pictures as they are and converts them "
                      "to RGB in a shader. Needs OpenGL."),
       QStringLiteral("glView"), QString(), gGpu, Factory<TAVGLView>()},
  };
  for (const auto& info : infos) FWidgets.append(new TKivoraWidget(info, this));
}

}  // namespace kivora::designer
