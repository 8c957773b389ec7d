// The Qt Designer plugin, loaded the way Designer loads it: its widget list,
// the widgets it makes and the Qt properties a form sets on them.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QMetaProperty>
#include <QPluginLoader>
#include <QWidget>
#include <QXmlStreamReader>
#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>
#include <functional>
#include <map>

#include "kivora/presentation/glview.h"
#include "kivora/presentation/videoview.h"
#include "kivora/presentation/view.h"
#include "kivora/preview/preview.h"
#include "support/event_pump.h"

namespace kivora {

namespace {

struct TSetting {
  const char* Property;
  QVariant Value;
  QVariant ReadBack;  // what property() gives afterwards
  std::function<bool(QWidget*)> Effect;  // the widget's own getter agrees
};

struct TExpected {
  QString Include;
  QString ObjectName;
  bool Shown;  // the offscreen platform cannot show a GPU view
  std::vector<TSetting> Settings;
};

template <class T>
T* As(QWidget* w) {
  return dynamic_cast<T*>(w);
}

std::map<QString, TExpected> Expected() {
  using M = TImageWrapMode;
  return {
      {"kivora::TAVView",
       {"kivora/presentation/view.h", "avView", true,
        {{"WrapMode", QStringLiteral("Stretch"), QVariant::fromValue(M::Stretch),
          [](QWidget* w) { return As<TAVView>(w)->WrapMode() == M::Stretch; }},
         {"WrapMode", QVariant::fromValue(M::Tile), QVariant::fromValue(M::Tile),
          [](QWidget* w) { return As<TAVView>(w)->WrapMode() == M::Tile; }},
         {"Opacity", 0.25, 0.25, [](QWidget* w) { return As<TAVView>(w)->Opacity() == 0.25; }},
         {"DisableInterpolation", false, false,
          [](QWidget* w) { return !As<TAVView>(w)->DisableInterpolation(); }},
         {"Locked", true, true, [](QWidget* w) { return As<TAVView>(w)->Locked(); }}}}},
      {"kivora::TAVPreview",
       {"kivora/preview/preview.h", "avPreview", true,
        {{"InputFile", QStringLiteral("clips/größe.mp4"), QStringLiteral("clips/größe.mp4"),
          [](QWidget* w) { return As<TAVPreview>(w)->InputFile() == "clips/größe.mp4"; }},
         // Only an active preview takes a time (the preview tests cover that);
         // on a form being designed it stays at the start.
         {"timestamp", 1.5, 0.0, [](QWidget* w) { return As<TAVPreview>(w)->timestamp() == 0.0; }},
         {"Accurate", true, true, [](QWidget* w) { return As<TAVPreview>(w)->Accurate(); }},
         {"WrapMode", QStringLiteral("Center"), QVariant::fromValue(M::Center),
          [](QWidget* w) { return As<TAVPreview>(w)->WrapMode() == M::Center; }},
         {"TimeoutMs", 2500, 2500, [](QWidget* w) { return As<TAVPreview>(w)->TimeoutMs() == 2500; }}}}},
      {"kivora::TVideoView",
       {"kivora/presentation/videoview.h", "videoView", true,
        {{"Locked", true, true, [](QWidget* w) { return As<TVideoView>(w)->Locked(); }}}}},
      {"kivora::TAVGLView",
       {"kivora/presentation/glview.h", "glView", false,
        {{"Opacity", 0.5, 0.5, [](QWidget* w) { return As<TAVGLView>(w)->Opacity() == 0.5; }},
         {"PreferNV12", true, true, [](QWidget* w) { return As<TAVGLView>(w)->PreferNV12(); }},
         {"Locked", true, true, [](QWidget* w) { return As<TAVGLView>(w)->Locked(); }}}}},
  };
}

// The class and object name of the widget element in a domXml text.
std::pair<QString, QString> DomWidget(const QString& xml) {
  QXmlStreamReader r(xml);
  while (r.readNextStartElement()) {
    if (r.name() == QLatin1String("ui")) continue;
    if (r.name() == QLatin1String("widget"))
      return {r.attributes().value("class").toString(), r.attributes().value("name").toString()};
    r.skipCurrentElement();
  }
  return {};
}

}  // namespace

TEST(DesignerPlugin, OffersTheWidgetsAndTheirProperties) {
  testing::EnsureApp();
  QPluginLoader loader(QStringLiteral(KIVORA_DESIGNER_PLUGIN_PATH));
  ASSERT_TRUE(loader.load()) << loader.errorString().toStdString();
  auto* collection = qobject_cast<QDesignerCustomWidgetCollectionInterface*>(loader.instance());
  ASSERT_NE(collection, nullptr) << "not a Designer widget collection";
  // Designer reads the interface from the plugin's metadata before loading it.
  EXPECT_EQ(loader.metaData().value("IID").toString(),
            QStringLiteral("org.qt-project.Qt.QDesignerCustomWidgetCollectionInterface"));

  const auto expected = Expected();
  const QList<QDesignerCustomWidgetInterface*> widgets = collection->customWidgets();
  std::set<QString> seen;
  for (QDesignerCustomWidgetInterface* w : widgets) {
    const QString name = w->name();
    SCOPED_TRACE(name.toStdString());
    auto it = expected.find(name);
    ASSERT_NE(it, expected.end()) << "unexpected widget";
    EXPECT_TRUE(seen.insert(name).second) << "listed twice";
    const TExpected& e = it->second;
    EXPECT_EQ(w->group(), QStringLiteral("Kivora"));
    EXPECT_EQ(w->includeFile(), e.Include);
    EXPECT_TRUE(QFileInfo::exists(QStringLiteral(KIVORA_SOURCE_DIR "/") + e.Include)) << "no such header";
    EXPECT_FALSE(w->toolTip().isEmpty());
    EXPECT_FALSE(w->whatsThis().isEmpty());
    EXPECT_FALSE(w->isContainer());
    EXPECT_FALSE(w->icon().pixmap(32, 32).isNull());
    EXPECT_EQ(DomWidget(w->domXml()), std::make_pair(name, e.ObjectName)) << w->domXml().toStdString();
    w->initialize(nullptr);
    EXPECT_TRUE(w->isInitialized());

    QWidget form;
    QWidget* made = w->createWidget(&form);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->parentWidget(), &form);
    EXPECT_EQ(QString::fromLatin1(made->metaObject()->className()), name);
    auto* component = dynamic_cast<TComponent*>(made);
    ASSERT_NE(component, nullptr);
    EXPECT_TRUE(component->Designing()) << "a widget on a form being designed";

    for (const TSetting& s : e.Settings) {
      SCOPED_TRACE(s.Property);
      const int index = made->metaObject()->indexOfProperty(s.Property);
      ASSERT_GE(index, 0) << "not a Qt property";
      const QMetaProperty p = made->metaObject()->property(index);
      EXPECT_TRUE(p.isWritable() && p.isDesignable());
      EXPECT_EQ(p.isStored(), QByteArray(s.Property) != "timestamp");
      if (QByteArray(s.Property) == "WrapMode") {
        // An enumeration, so Designer offers the modes by name.
        EXPECT_TRUE(p.isEnumType());
        EXPECT_STREQ(p.enumerator().key(static_cast<int>(TImageWrapMode::Place)), "Place");
      }
      EXPECT_TRUE(made->setProperty(s.Property, s.Value));
      EXPECT_EQ(made->property(s.Property), s.ReadBack);
      EXPECT_TRUE(s.Effect(made));
    }
    if (e.Shown) {
      form.resize(200, 150);
      made->setGeometry(0, 0, 200, 150);
      form.show();
      EXPECT_FALSE(form.grab().isNull());
      testing::PumpUntil([] { return false; }, 20);
    }
  }
  EXPECT_EQ(seen.size(), expected.size()) << "widgets missing from the plugin";
}

}  // namespace kivora

#ifdef KIVORA_HAS_UITOOLS
#include <QDir>
#include <QFile>
#include <QUiLoader>

namespace kivora {

// Designer's own form builder reads a .ui file through the plugin and sets
// each stored property by name, the way Designer opens a form.
TEST(DesignerPlugin, FormBuilderMakesAStoredFormThroughThePlugin) {
  testing::EnsureApp();
  QUiLoader loader;
  loader.clearPluginPaths();
  loader.addPluginPath(QFileInfo(QStringLiteral(KIVORA_DESIGNER_PLUGIN_PATH)).absolutePath());
  for (const char* name : {"kivora::TAVView", "kivora::TAVPreview", "kivora::TVideoView", "kivora::TAVGLView"})
    EXPECT_TRUE(loader.availableWidgets().contains(QString::fromLatin1(name))) << name;

  QFile ui(QStringLiteral(KIVORA_CONSUMER_FORM));
  ASSERT_TRUE(ui.open(QIODevice::ReadOnly));
  QWidget holder;
  QWidget* form = loader.load(&ui, &holder);
  ASSERT_NE(form, nullptr) << loader.errorString().toStdString();
  auto* view = form->findChild<TAVView*>("avView");
  auto* preview = form->findChild<TAVPreview*>("avPreview");
  auto* video = form->findChild<TVideoView*>("videoView");
  auto* gl = form->findChild<TAVGLView*>("glView");
  ASSERT_TRUE(view && preview && video && gl) << "the form's widgets are not Kivora's classes";
  EXPECT_EQ(view->WrapMode(), TImageWrapMode::Stretch);
  EXPECT_EQ(view->Opacity(), 0.5);
  EXPECT_FALSE(view->DisableInterpolation());
  EXPECT_EQ(preview->InputFile(), "clip.mp4");
  EXPECT_EQ(preview->WrapMode(), TImageWrapMode::Center);
  EXPECT_EQ(preview->TimeoutMs(), 2500);
  EXPECT_TRUE(video->Locked());
  EXPECT_TRUE(gl->PreferNV12());
  EXPECT_EQ(gl->Opacity(), 0.75);
}

}  // namespace kivora
#endif
