#include "launcher/convertformat.h"

#include "launcher/appconfig.h"
#include "launcher/deployment.h"
#include "ui_convertformat.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

ConvertFormat::ConvertFormat(QWidget *parent) : ToolPanel(parent), ui(new Ui::ConvertFormat) {
  ui->setupUi(this);
  initWidget();
  initConnect();
}

ConvertFormat::~ConvertFormat() {
  shutDown();
  delete ui;
}

void ConvertFormat::initWidget() {
  const auto paths = AppConfig::instance()->convertFormatPaths();
  ui->lineEditInput->setText(paths.first);
  ui->lineEditInput->setPlaceholderText("输入json文件路径");
  ui->lineEditOutput->setText(paths.second);
  ui->lineEditOutput->setPlaceholderText("输入obj、gltf、glb、pbrt文件路径");
  createProcess(ui->textBrowserLog);
}

void ConvertFormat::initConnect() {
  connectCommon(ui->buttonStart, ui->buttonStop, ui->buttonClear);
  connect(ui->buttonSelectInput, &QPushButton::clicked, this, &ConvertFormat::selectInput);
  connect(ui->buttonOpenInputDir, &QPushButton::clicked, this, &ConvertFormat::openInputDir);
  connect(ui->buttonSelectOutput, &QPushButton::clicked, this, &ConvertFormat::selectOutput);
  connect(ui->buttonOpenOutputDir, &QPushButton::clicked, this, &ConvertFormat::openOutputDir);
}

bool ConvertFormat::checkInput() {
  const QString input = ui->lineEditInput->text();
  if (input.isEmpty()) return refuse("输入文件为空.");
  if (!QFileInfo::exists(input)) return refuse("输入文件不存在");
  if (!isJsonScene(input)) return refuse("输入文件不是json文件");
  // The output's extension is left to the converter to judge.
  if (ui->lineEditOutput->text().isEmpty()) return refuse("输出文件为空.");
  return true;
}

void ConvertFormat::setRunState(bool running) {
  const QList<QWidget *> inputs = {ui->lineEditInput,     ui->lineEditOutput,
                                    ui->buttonSelectInput, ui->buttonOpenInputDir,
                                    ui->buttonSelectOutput, ui->buttonOpenOutputDir};
  for (QWidget *widget : inputs) widget->setEnabled(!running);
  if (running) {
    converterProgramPath(true);
    deployProgram(Program::Converter);
    AppConfig::instance()->setConvertFormatPaths(ui->lineEditInput->text(),
                                                 ui->lineEditOutput->text());
  } else {
    removeProgram(Program::Converter);
  }
}

QString ConvertFormat::programPath() const { return converterProgramPath(false); }

QStringList ConvertFormat::arguments() const {
  return {"--scene", ui->lineEditInput->text(), "--output", ui->lineEditOutput->text()};
}

QString ConvertFormat::stopQuestion() const { return "正在转模型文件，您确定要终止吗?"; }

void ConvertFormat::clearLog() { ui->textBrowserLog->clear(); }

void ConvertFormat::selectInput() {
  const QString file = QFileDialog::getOpenFileName(
      this, "保存文件", dialogFolder(ui->lineEditInput->text()), "json文件 (*.json)");
  if (!file.isEmpty()) ui->lineEditInput->setText(file);
}

void ConvertFormat::openInputDir() {
  openFolder(QFileInfo(ui->lineEditInput->text()).dir().path());
}

void ConvertFormat::selectOutput() {
  const QString file =
      QFileDialog::getSaveFileName(this, "保存文件", dialogFolder(ui->lineEditOutput->text()),
                                   "模型文件 (*.obj *.pbrt *.gltf *.glb)");
  if (!file.isEmpty()) ui->lineEditOutput->setText(file);
}

void ConvertFormat::openOutputDir() {
  openFolder(QFileInfo(ui->lineEditOutput->text()).dir().path());
}
