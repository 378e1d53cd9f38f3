#pragma once

#include "launcher/toolpanel.h"

namespace Ui {
class GenerateCity;
}

// Runs the city generator on a folder of GeoJSON or OSM files and writes a JSON
// scene. The façade images and tree models are deployed into the input
// folder for the length of the run.
class GenerateCity : public ToolPanel {
  Q_OBJECT

public:
  explicit GenerateCity(QWidget *parent = nullptr);
  ~GenerateCity() override;

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

  Ui::GenerateCity *ui;
};

// True when the folder holds a file that the generator reads: a regular
// file whose name ends in ".geojson", ".osm" or ".osm.pbf" (hidden ones
// included).
bool hasMapFile(const QString &folder);
