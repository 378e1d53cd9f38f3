#pragma once
// Helpers for the launcher's QtTest programs: a base folder per test,
// answers to modal message boxes, sample inputs, and held child processes.

#include "launcher/appconfig.h"
#include "launcher/clineedit.h"
#include "launcher/ctextbrowser.h"
#include "launcher/toolpanel.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <signal.h>

// Answers the message boxes that open while it lives and keeps their texts:
// questions with the given buttons in order, notices with Ok.
class BoxAnswerer {
public:
  explicit BoxAnswerer(QList<QMessageBox::StandardButton> answers = {}) : answers_(answers) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
      if (!box || box == last_) return;
      last_ = box;
      texts << box->text();
      titles << box->windowTitle();
      QAbstractButton *button = answers_.isEmpty() ? nullptr : box->button(answers_.first());
      if (button) answers_.removeFirst();
      else button = box->button(QMessageBox::Ok);
      if (button) button->click();
      else box->reject();
    });
    timer_.start(10);
  }
  QStringList texts;
  QStringList titles;

private:
  QList<QMessageBox::StandardButton> answers_;
  QPointer<QMessageBox> last_;
  QTimer timer_;
};

inline void initLauncherResources() {
  static bool done = false;
  if (!done) Q_INIT_RESOURCE(mapsmith); // a static library's resources
  done = true;
}

// A base folder of its own for each test: no test sees another's
// config.ini or program copies.
struct TestBase {
  QTemporaryDir dir;
  TestBase() {
    initLauncherResources();
    AppConfig::instance()->setBasePath(dir.path());
  }
  QString path(const QString &name) const { return dir.path() + "/" + name; }
};

inline void writeFile(const QString &path, const QByteArray &bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (file.open(QIODevice::WriteOnly)) file.write(bytes);
}

inline QByteArray readFile(const QString &path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// `copies` copies of the sample town's GeoJSON files in a new folder.
inline QString copySampleTown(const QString &folder, int copies = 1) {
  for (int copy = 0; copy < copies; ++copy) {
    for (const QString &name : QDir(SAMPLES_DIR "/town").entryList({"*.geojson"})) {
      writeFile(folder + QString("/%1_").arg(copy) + name,
                readFile(QString(SAMPLES_DIR "/town/") + name));
    }
  }
  return folder;
}

template <typename T = QWidget> T *child(QObject *parent, const char *name) {
  return parent->findChild<T *>(name);
}

inline void setPaths(QObject *panel, const QString &input, const QString &output = QString()) {
  child<CLineEdit>(panel, "lineEditInput")->setText(input);
  if (auto *edit = child<CLineEdit>(panel, "lineEditOutput")) edit->setText(output);
}

inline void click(QObject *panel, const char *button) {
  QTest::mouseClick(child<QPushButton>(panel, button), Qt::LeftButton);
}

inline QString logText(QObject *panel) {
  return child<CTextBrowser>(panel, "textBrowserLog")->toPlainText();
}

inline QString logHtml(QObject *panel) { return child<CTextBrowser>(panel, "textBrowserLog")->toHtml(); }

// One of the four closing banners is in the log.
inline bool runEnded(QObject *panel) {
  static const QRegularExpression end("程序结束|程序异常终止|程序启动失败|程序出错退出");
  return end.match(logText(panel)).hasMatch();
}

// Holds the panel's next child as soon as it has started (or has written
// its first output), so that a test can look at a run in progress.
// SIGKILL still ends it.
inline void pauseChild(ToolPanel *panel, bool atFirstOutput = false) {
  auto once = std::make_shared<QMetaObject::Connection>();
  auto pause = [panel, once] {
    QObject::disconnect(*once);
    ::kill(static_cast<pid_t>(panel->process()->processId()), SIGSTOP);
  };
  *once = atFirstOutput
              ? QObject::connect(panel->process(), &QProcess::readyReadStandardOutput, panel, pause)
              : QObject::connect(panel->process(), &QProcess::started, panel, pause);
}

inline void resumeChild(ToolPanel *panel) { ::kill(static_cast<pid_t>(panel->process()->processId()), SIGCONT); }

inline bool processGone(qint64 pid) { return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0; }

// Program copies are UUID names ending in ".exe" in the program folder.
inline bool isProgramCopy(const QString &path) {
  static const QRegularExpression copy(
      "/config/program/[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.exe$");
  return copy.match(path).hasMatch();
}

// Nothing of a generator run on `input` is left: not the process, not its
// program copy, not the two model folders.
inline bool runLeftNothing(qint64 pid, const QString &copy, const QString &input) {
  return processGone(pid) && isProgramCopy(copy) && !QFile::exists(copy) &&
         !QDir(input + "/buildings_texture").exists() && !QDir(input + "/tree_models").exists();
}
