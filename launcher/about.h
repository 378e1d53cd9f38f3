#pragma once

#include <QDialog>

class QHBoxLayout;
class QLabel;

// The About dialog: author, the tutorials that ship beside the launcher,
// the terms of use and where the map data comes from.
class About : public QDialog {
  Q_OBJECT

public:
  About();

  // Documentation installed beside the launcher, in its "doc" folder.
  static QString tutorialPath();
  static QString readmePath();

private:
  QHBoxLayout *layout_;
  QLabel *label_;
};
