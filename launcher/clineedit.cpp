#include "launcher/clineedit.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

CLineEdit::CLineEdit(QWidget *parent) : QLineEdit(parent) { setAcceptDrops(true); }

CLineEdit::CLineEdit(const QString &text, QWidget *parent) : QLineEdit(text, parent) {
  setAcceptDrops(true);
}

void CLineEdit::dragEnterEvent(QDragEnterEvent *event) { event->acceptProposedAction(); }

void CLineEdit::dropEvent(QDropEvent *event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (urls.isEmpty()) return;
  // Only the first of several dropped items counts; a web link is not a
  // local file and empties the field.
  const QString path = urls.first().toLocalFile();
  if (fileMode_) {
    setText(path);
    return;
  }
  const QFileInfo info(path);
  setText(info.isFile() ? info.dir().path() : path);
}
