#include "launcher/displayscene.h"

#include "launcher/appconfig.h"
#include "launcher/deployment.h"
#include "ui_displayscene.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

DisplayScene::DisplayScene(QWidget *parent) : ToolPanel(parent), ui(new Ui::DisplayScene) {
  ui->setupUi(this);
  initWidget();
  initConnect();
}

DisplayScene::~DisplayScene() {
  shutDown();
  delete ui;
}

void DisplayScene::initWidget() {
  ui->lineEditInput->setText(AppConfig::instance()->displaySceneInput());
  ui->lineEditInput->setPlaceholderText("输入obj、gltf、glb、pbrt文件路径");
  createProcess(ui->textBrowserLog);
}

void DisplayScene::initConnect() {
  connectCommon(ui->buttonStart, ui->buttonStop, ui->buttonClear);
  connect(ui->buttonSelectInput, &QPushButton::clicked, this, &DisplayScene::selectInput);
  connect(ui->buttonOpenInputDir, &QPushButton::clicked, this, &DisplayScene::openInputDir);
}

bool DisplayScene::checkInput() {
  const QString input = ui->lineEditInput->text();
  if (input.isEmpty()) return refuse("输入文件为空.");
  if (!QFileInfo::exists(input)) return refuse("输入文件不存在");
  // Exactly the names the viewer reads: ".STL" and ".stl", never ".Stl".
  if (!isReadableScene(input)) {
    return refuse("输入文件不是json、obj、stl、gltf、glb、pbrt文件");
  }
  return true;
}

void DisplayScene::setRunState(bool running) {
  const QList<QWidget *> inputs = {ui->lineEditInput, ui->buttonSelectInput,
                                    ui->buttonOpenInputDir};
  for (QWidget *widget : inputs) widget->setEnabled(!running);
  if (running) {
    viewerProgramPath(true);
    deployProgram(Program::Viewer);
    AppConfig::instance()->setDisplaySceneInput(ui->lineEditInput->text());
  } else {
    removeProgram(Program::Viewer);
  }
}

QString DisplayScene::programPath() const { return viewerProgramPath(false); }

QStringList DisplayScene::arguments() const { return {"--scene", ui->lineEditInput->text()}; }

// The viewer is stopped at once, without a question.
QString DisplayScene::stopQuestion() const { return QString(); }

void DisplayScene::selectInput() {
  const QString file =
      QFileDialog::getOpenFileName(this, "保存文件", dialogFolder(ui->lineEditInput->text()),
                                   "场景 (*.json *.obj *.stl *.gltf *.glb *.pbrt)");
  if (!file.isEmpty()) ui->lineEditInput->setText(file);
}

void DisplayScene::openInputDir() {
  openFolder(QFileInfo(ui->lineEditInput->text()).dir().path());
}
