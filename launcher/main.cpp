// Mapsmith: the desktop launcher that runs blockgen, convert and view.

#include "launcher/appconfig.h"
#include "launcher/mainwindow.h"

#include <QApplication>
#include <QFile>

int main(int argc, char *argv[]) {
  // The programs, models, style sheet and logo live in a resource object
  // linked from a static library.
  Q_INIT_RESOURCE(mapsmith);

  QApplication app(argc, argv);
  AppConfig::instance()->setBasePath(QCoreApplication::applicationDirPath());

  QFile style(":/config/style/stylesheet.css");
  if (style.open(QIODevice::ReadOnly)) {
    app.setStyleSheet(QString::fromLatin1(style.readAll().constData()));
    style.close();
  }

  auto *window = new MainWindow;
  window->show();
  const int status = app.exec();
  delete window;
  return status;
}
