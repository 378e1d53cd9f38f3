// Mapsmith: the desktop launcher that runs blockgen, convert and view.

#include "launcher/appconfig.h"
#include "launcher/mainwindow.h"
#include "launcher/startup.h"

#include <QApplication>

int main(int argc, char *argv[]) {
  // The programs, models, style sheet and logo live in a resource object
  // linked from a static library.
  Q_INIT_RESOURCE(mapsmith);

  QApplication app(argc, argv);
  AppConfig::instance()->setBasePath(QCoreApplication::applicationDirPath());
  installStyleSheet(app);

  auto *window = new MainWindow;
  window->show();
  const int status = app.exec();
  delete window; // removes the folder of program copies
  return status;
}
