#pragma once

#include "launcher/toolpanel.h"

namespace Ui {
class DisplayScene;
}

// Runs the viewer on a scene file; the viewer's own window shows it until
// its user closes it, or until the stop button kills it.
class DisplayScene : public ToolPanel {
  Q_OBJECT

public:
  explicit DisplayScene(QWidget *parent = nullptr);
  ~DisplayScene() override;

public slots:
  void selectInput();
  void openInputDir();

protected:
  bool checkInput() override;
  void setRunState(bool running) override;
  QString programPath() const override;
  QStringList arguments() const override;
  QString stopQuestion() const override;

private:
  void initWidget();
  void initConnect();

  Ui::DisplayScene *ui;
};
