#include "launcher/about.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QUrl>

namespace {

QString link(const QString &path, const QString &caption) {
  // The accent colour keeps links readable on the dark theme.
  return QString("<a style=\"color:#448aff\" href=\"%1\">%2</a>")
      .arg(QString::fromLatin1(QUrl::fromLocalFile(path).toEncoded()), caption.toHtmlEscaped());
}

} // namespace

QString About::tutorialPath() {
  return QCoreApplication::applicationDirPath() + "/doc/tutorial.html";
}

QString About::readmePath() { return QCoreApplication::applicationDirPath() + "/doc/README.md"; }

About::About() : QDialog(nullptr, Qt::WindowFlags()) {
  layout_ = new QHBoxLayout;
  label_ = new QLabel;
  layout_->addWidget(label_);
  setLayout(layout_);
  label_->setOpenExternalLinks(true);
  setWindowTitle("关于");

  // There is no video yet: that line leads to the README's launcher
  // section, which walks through a first run in words.
  label_->setText("<h1>关于程序</h1>"
                  "<p>作者：" + link(readmePath(), "Mapsmith 项目组") + "</p>"
                  "<p>图文教程:" + link(tutorialPath(), "Mapsmith 使用说明（随程序附带）") + "</p>"
                  "<p>视频教程:" + link(readmePath(), "暂无视频，请看 README 中的启动器一节") + "</p>"
                  "<p>注意：本程序仅供学习和研究使用，不得用于商业用途；"
                  "使用本程序产生的一切后果由使用者自行承担，与作者无关！</p>"
                  "<p>本程序所使用的数据，均来自open street map的开源数据</p>"
                  "<p>数据所有权归open street map所有.</p>");
}
