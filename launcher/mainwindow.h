#pragma once

#include <QMainWindow>
#include <QTimer>

namespace Ui {
class MainWindow;
}

// The launcher's window: the three tool panels side by side, menus to quit,
// to show or hide the converter and viewer panels and to open the About
// dialog, and a clock in the status bar.
class MainWindow : public QMainWindow {
  Q_OBJECT

public:
  explicit MainWindow(QWidget *parent = nullptr);
  ~MainWindow() override;

public slots:
  void quitProgram();
  void showHideConvertWidget();
  void showHideSceneWidget();
  void showTime();

private:
  void initWidget();
  void initConnect();

  Ui::MainWindow *ui;
  QTimer timer_;
};
