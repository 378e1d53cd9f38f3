#pragma once
// Helpers for the launcher's QtTest programs: a fresh base folder per test,
// answers to modal message boxes, sample input folders and waits on the
// panels' logs.

#include "launcher/appconfig.h"
#include "launcher/ctextbrowser.h"
#include "launcher/toolpanel.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <signal.h>

// Answers the modal message boxes that open while it lives, in order, with
// the given buttons (Ok once the list is used up), and keeps their texts.
class BoxAnswerer {
public:
  explicit BoxAnswerer(QList<QMessageBox::StandardButton> answers = {}) : answers_(answers) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { answer(); });
    timer_.start(10);
  }
  QStringList texts;
  QStringList titles;

private:
  void answer() {
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || box == last_) return;
    last_ = box;
    texts << box->text();
    titles << box->windowTitle();
    const auto choice = answers_.isEmpty() ? QMessageBox::Ok : answers_.takeFirst();
    QAbstractButton *button = box->button(choice);
    if (button) button->click();
    else box->reject();
  }
  QList<QMessageBox::StandardButton> answers_;
  QPointer<QMessageBox> last_;
  QTimer timer_;
};

// The resource object comes from a static library: register it once.
inline void initLauncherResources() {
  static bool done = false;
  if (!done) Q_INIT_RESOURCE(mapsmith);
  done = true;
}

// A base folder of its own for each test, so that no test sees another's
// config.ini or program copies.
struct TestBase {
  QTemporaryDir dir;
  TestBase() {
    initLauncherResources();
    AppConfig::instance()->setBasePath(dir.path());
  }
  QString path(const QString &name) const { return dir.path() + "/" + name; }
};

// A copy of the sample town's GeoJSON files in a new folder.
inline QString copySampleTown(const QString &folder, int copies = 1) {
  QDir().mkpath(folder);
  const QStringList names = QDir(SAMPLES_DIR "/town").entryList({"*.geojson"}, QDir::Files);
  for (int copy = 0; copy < copies; ++copy) {
    for (const QString &name : names) {
      QFile::copy(QString(SAMPLES_DIR "/town/") + name,
                  folder + "/" + QString::number(copy) + "_" + name);
    }
  }
  return folder;
}

inline void writeFile(const QString &path, const QByteArray &bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(bytes);
}

inline QByteArray readFile(const QString &path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

template <typename T> T *child(QObject *parent, const char *name) {
  T *found = parent->findChild<T *>(name);
  if (!found) qWarning("no child %s", name);
  return found;
}

inline QString logText(QObject *panel) {
  return child<CTextBrowser>(panel, "textBrowserLog")->toPlainText();
}

inline void click(QObject *panel, const char *button) {
  QTest::mouseClick(child<QPushButton>(panel, button), Qt::LeftButton);
}

// The end of a run as the log tells it: one of the four closing banners.
inline bool runEnded(QObject *panel) {
  static const QRegularExpression end("程序结束|程序异常终止|程序启动失败|程序出错退出");
  return end.match(logText(panel)).hasMatch();
}

// Holds the panel's next child process as soon as it has started (or once
// it has written its first output), so that a test can look at a run in
// progress. SIGKILL still ends it.
inline void pauseChild(ToolPanel *panel, bool atFirstOutput = false) {
  auto once = std::make_shared<QMetaObject::Connection>();
  auto pause = [panel, once] {
    QObject::disconnect(*once);
    ::kill(static_cast<pid_t>(panel->process()->processId()), SIGSTOP);
  };
  if (atFirstOutput) {
    *once = QObject::connect(panel->process(), &QProcess::readyReadStandardOutput, panel, pause);
  } else {
    *once = QObject::connect(panel->process(), &QProcess::started, panel, pause);
  }
}

inline void resumeChild(ToolPanel *panel) {
  ::kill(static_cast<pid_t>(panel->process()->processId()), SIGCONT);
}

inline bool processGone(qint64 pid) { return ::kill(static_cast<pid_t>(pid), 0) != 0; }

// Program copies are UUID names ending in ".exe".
inline bool isProgramCopy(const QString &path) {
  static const QRegularExpression copy(
      "/config/program/[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.exe$");
  return copy.match(path).hasMatch();
}
