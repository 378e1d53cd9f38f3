#include "launcher/generatecity.h"

#include "launcher/appconfig.h"
#include "launcher/deployment.h"
#include "ui_generatecity.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

GenerateCity::GenerateCity(QWidget *parent) : ToolPanel(parent), ui(new Ui::GenerateCity) {
  ui->setupUi(this);
  initWidget();
  initConnect();
}

GenerateCity::~GenerateCity() {
  shutDown();
  delete ui;
}

void GenerateCity::initWidget() {
  const auto paths = AppConfig::instance()->generateCityPaths();
  ui->lineEditInput->setText(paths.first);
  ui->lineEditInput->setFileMode(false);
  ui->lineEditInput->setPlaceholderText("输入有geojson文件的目录");
  ui->lineEditOutput->setText(paths.second);
  ui->lineEditOutput->setPlaceholderText("输入json文件路径");
  createProcess(ui->textBrowserLog);
}

void GenerateCity::initConnect() {
  connectCommon(ui->buttonStart, ui->buttonStop, ui->buttonClear);
  connect(ui->buttonSelectInput, &QPushButton::clicked, this, &GenerateCity::selectInput);
  connect(ui->buttonOpenInputDir, &QPushButton::clicked, this, &GenerateCity::openInputDir);
  connect(ui->buttonSelectOutput, &QPushButton::clicked, this, &GenerateCity::selectOutput);
  connect(ui->buttonOpenOutputDir, &QPushButton::clicked, this, &GenerateCity::openOutputDir);
}

bool hasMapFile(const QString &folder) {
  // The names blockgen reads: ".geojson" exactly, ".osm" and ".osm.pbf" in
  // lower or upper case. A bare extension names no file to the generator.
  const QStringList suffixes = {".geojson", ".osm", ".OSM", ".osm.pbf", ".OSM.PBF"};
  for (const QFileInfo &entry : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
    const QString name = entry.fileName();
    if (!entry.isFile()) continue;
    for (const QString &suffix : suffixes) {
      if (name.endsWith(suffix) && name.size() > suffix.size()) return true;
    }
  }
  return false;
}

bool GenerateCity::checkInput() {
  const QString input = ui->lineEditInput->text();
  const QString output = ui->lineEditOutput->text();
  if (input.isEmpty()) return refuse("输入目录为空.");
  if (!QDir(input).exists()) return refuse("输入目录不存在");
  if (!hasMapFile(input)) return refuse("输入目录中，不存在GeoJSON、OSM或OSM.PBF文件");
  if (output.isEmpty()) return refuse("输出文件为空.");
  if (!isJsonScene(output)) return refuse("输出文件不是json格式.");
  return true;
}

void GenerateCity::setRunState(bool running) {
  const QList<QWidget *> inputs = {ui->lineEditInput,     ui->lineEditOutput,
                                    ui->buttonSelectInput, ui->buttonOpenInputDir,
                                    ui->buttonSelectOutput, ui->buttonOpenOutputDir};
  for (QWidget *widget : inputs) widget->setEnabled(!running);
  // The input field is disabled while running, so it still names the
  // folder the models went to.
  const QString input = ui->lineEditInput->text();
  if (running) {
    deployModels(input);
    generatorProgramPath(true);
    deployProgram(Program::Generator);
    AppConfig::instance()->setGenerateCityPaths(input, ui->lineEditOutput->text());
  } else {
    removeProgram(Program::Generator);
    removeModels(input);
  }
}

QString GenerateCity::programPath() const { return generatorProgramPath(false); }

QStringList GenerateCity::arguments() const {
  return {ui->lineEditInput->text(), "-o", ui->lineEditOutput->text()};
}

QString GenerateCity::stopQuestion() const { return "正在重建三维城市，您确定要终止吗?"; }

void GenerateCity::clearLog() { ui->textBrowserLog->clear(); }

void GenerateCity::selectInput() {
  const QString folder = QFileDialog::getExistingDirectory(
      this, "选择目录", dialogFolder(ui->lineEditInput->text()), QFileDialog::ShowDirsOnly);
  if (!folder.isEmpty()) ui->lineEditInput->setText(folder);
}

void GenerateCity::openInputDir() { openFolder(ui->lineEditInput->text()); }

void GenerateCity::selectOutput() {
  const QString file = QFileDialog::getSaveFileName(
      this, "保存文件", dialogFolder(ui->lineEditOutput->text()), "json文件 (*.json)");
  if (!file.isEmpty()) ui->lineEditOutput->setText(file);
}

void GenerateCity::openOutputDir() {
  openFolder(QFileInfo(ui->lineEditOutput->text()).dir().path());
}
