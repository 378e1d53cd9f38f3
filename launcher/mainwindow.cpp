#include "launcher/mainwindow.h"

#include "launcher/about.h"
#include "launcher/deployment.h"
#include "ui_mainwindow.h"

#include <QDateTime>
#include <QIcon>
#include <QMessageBox>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent, Qt::WindowFlags()), ui(new Ui::MainWindow) {
  ui->setupUi(this);
  initWidget();
  initConnect();
}

MainWindow::~MainWindow() {
  // Programs still running (the window was closed without stopping them)
  // are killed and their copies and model folders removed before the
  // program folder goes; the panels' end handling does not run.
  ui->widgetGenerateCity->shutDown();
  ui->widgetConvertFormat->shutDown();
  ui->widgetDisplayScene->shutDown();
  removeProgramDir();
  delete ui;
}

void MainWindow::initWidget() {
  setWindowTitle("Mapsmith v1.0");
  setWindowIcon(QIcon(":/config/image/logo/logo.png"));
  ui->widgetConvertFormat->hide();
  ui->widgetDisplayScene->hide();
  timer_.setInterval(1000);
  timer_.start();
}

void MainWindow::initConnect() {
  connect(ui->actionQuit, &QAction::triggered, this, &MainWindow::quitProgram);
  connect(ui->actionShowConverFormat, &QAction::triggered, this,
          &MainWindow::showHideConvertWidget);
  connect(ui->actionShowDisplayScene, &QAction::triggered, this,
          &MainWindow::showHideSceneWidget);
  connect(&timer_, &QTimer::timeout, this, &MainWindow::showTime);
  connect(ui->actionAboutProgram, &QAction::triggered, this, [] {
    About about;
    about.exec();
  });
}

void MainWindow::quitProgram() {
  if (ui->widgetGenerateCity->isRunning() || ui->widgetConvertFormat->isRunning() ||
      ui->widgetDisplayScene->isRunning()) {
    if (QMessageBox::question(this, "提示", "程序正在运行，您确定要退出吗?",
                              QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) != QMessageBox::Yes) {
      return;
    }
    // Each panel asks its own question; the window closes whatever the
    // answers, and what still runs then is ended by the destructor.
    ui->widgetGenerateCity->stopConvert();
    ui->widgetConvertFormat->stopConvert();
    ui->widgetDisplayScene->stopConvert();
  }
  close();
}

void MainWindow::showHideConvertWidget() {
  ui->widgetConvertFormat->setVisible(ui->widgetConvertFormat->isHidden());
}

void MainWindow::showHideSceneWidget() {
  ui->widgetDisplayScene->setVisible(ui->widgetDisplayScene->isHidden());
}

void MainWindow::showTime() {
  ui->statusbar->showMessage(QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss"), 1000);
}
