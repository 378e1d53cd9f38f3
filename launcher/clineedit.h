#pragma once

#include <QLineEdit>

// Path field that takes a file or folder dropped from the desktop. In file
// mode the dropped path is taken as it is; in directory mode a dropped file
// gives the folder that holds it.
class CLineEdit : public QLineEdit {
  Q_OBJECT

public:
  explicit CLineEdit(QWidget *parent = nullptr);
  CLineEdit(const QString &text, QWidget *parent = nullptr);

  void setFileMode(bool fileMode) { fileMode_ = fileMode; }
  bool fileMode() const { return fileMode_; }

protected:
  void dragEnterEvent(QDragEnterEvent *event) override;
  void dropEvent(QDropEvent *event) override;

private:
  bool fileMode_ = true;
};
