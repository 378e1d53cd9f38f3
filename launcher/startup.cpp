#include "launcher/startup.h"

#include <QApplication>
#include <QFile>

bool installStyleSheet(QApplication &app) {
  QFile style(":/config/style/stylesheet.css");
  if (!style.open(QIODevice::ReadOnly)) return false;
  // The style sheet is plain ASCII; it ends at a zero byte if there is one.
  app.setStyleSheet(QString::fromLatin1(style.readAll().constData()));
  style.close();
  return true;
}
