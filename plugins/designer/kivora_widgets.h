#pragma once
// Kivora's widgets in Qt Designer: one collection plugin that puts the image
// view, the preview control, the video view and the GPU view in the widget
// box's "Kivora" group. Their main settings are Qt properties of the widget
// classes themselves, so Designer's property editor shows them and forms
// compiled by uic set them.
#include <QList>
#include <QObject>
#include <QString>
#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>
#include <functional>

namespace kivora::designer {

// What Designer is told about one widget class.
struct TWidgetInfo {
  QString Name;         // the class as .ui files and uic name it
  QString IncludeFile;  // the header a compiled form includes
  QString ToolTip;
  QString WhatsThis;
  QString ObjectName;  // the name a new widget gets in a form
  QString DomExtra;    // property specifications of the class, if any
  int Glyph = 0;       // which picture the icon shows
  std::function<QWidget*(QWidget* parent)> Create;
};

class TKivoraWidget : public QObject, public QDesignerCustomWidgetInterface {
  Q_OBJECT
  Q_INTERFACES(QDesignerCustomWidgetInterface)

public:
  TKivoraWidget(TWidgetInfo info, QObject* parent);

  QString name() const override { return FInfo.Name; }
  QString group() const override;
  QString toolTip() const override { return FInfo.ToolTip; }
  QString whatsThis() const override { return FInfo.WhatsThis; }
  QString includeFile() const override { return FInfo.IncludeFile; }
  QIcon icon() const override;
  bool isContainer() const override { return false; }
  // A widget in design mode (it draws the border that marks it on a form
  // and opens nothing), or null when it could not be made; Designer then
  // shows a plain placeholder instead of failing.
  QWidget* createWidget(QWidget* parent) override;
  bool isInitialized() const override { return FInitialized; }
  void initialize(QDesignerFormEditorInterface* core) override;
  QString domXml() const override;

private:
  TWidgetInfo FInfo;
  bool FInitialized = false;
};

class TKivoraWidgets : public QObject, public QDesignerCustomWidgetCollectionInterface {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QDesignerCustomWidgetCollectionInterface")
  Q_INTERFACES(QDesignerCustomWidgetCollectionInterface)

public:
  explicit TKivoraWidgets(QObject* parent = nullptr);
  QList<QDesignerCustomWidgetInterface*> customWidgets() const override { return FWidgets; }

private:
  QList<QDesignerCustomWidgetInterface*> FWidgets;
};

}  // namespace kivora::designer
