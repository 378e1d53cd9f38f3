#pragma once

#include <QTextBrowser>

// The panels' log view: Ctrl with the mouse wheel zooms the text by one
// pixel per step instead of scrolling.
class CTextBrowser : public QTextBrowser {
  Q_OBJECT

public:
  explicit CTextBrowser(QWidget *parent = nullptr);

protected:
  void wheelEvent(QWheelEvent *event) override;
};
