#pragma once

#include "launcher/toolpanel.h"

namespace Ui {
class ConvertFormat;
}

// Runs the converter on a JSON scene; the output file's extension picks
// the format it writes.
class ConvertFormat : public ToolPanel {
  Q_OBJECT

public:
  explicit ConvertFormat(QWidget *parent = nullptr);
  ~ConvertFormat() override;

public slots:
  void clearLog();
  void selectInput();
  void openInputDir();
  void selectOutput();
  void openOutputDir();

protected:
  bool checkInput() override;
  void setRunState(bool running) override;
  QString programPath() const override;
  QStringList arguments() const override;
  QString stopQuestion() const override;

private:
  void initWidget();
  void initConnect();

  Ui::ConvertFormat *ui;
};
