#include "launcher/ctextbrowser.h"

#include <QFontInfo>
#include <QGuiApplication>
#include <QWheelEvent>

CTextBrowser::CTextBrowser(QWidget *parent) : QTextBrowser(parent) {}

void CTextBrowser::wheelEvent(QWheelEvent *event) {
  if (QGuiApplication::keyboardModifiers() != Qt::ControlModifier) {
    QTextEdit::wheelEvent(event);
    return;
  }
  QFont zoomed = font();
  // A font given in points has no pixel size of its own: start from the
  // size it is shown at. Qt refuses sizes below one pixel.
  const int size = zoomed.pixelSize() > 0 ? zoomed.pixelSize() : QFontInfo(zoomed).pixelSize();
  const int step = event->angleDelta().y() > 0 ? 1 : -1;
  zoomed.setPixelSize(qMax(1, size + step));
  setFont(zoomed);
}
