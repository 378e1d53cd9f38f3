#include "launcher/toolpanel.h"

#include "launcher/appconfig.h"
#include "launcher/ctextbrowser.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "scene/formats.h"

namespace {

const int kMaxLogLines = 10000;
const QString kRule(50, '-');

QString timeStamp() { return QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz"); }

} // namespace

ToolPanel::ToolPanel(QWidget *parent) : QWidget(parent) {}

bool ToolPanel::isRunning() const {
  return process_ && process_->state() != QProcess::NotRunning;
}

void ToolPanel::createProcess(CTextBrowser *log) {
  log_ = log;
  process_ = new QProcess(this);
}

void ToolPanel::connectCommon(QPushButton *start, QPushButton *stop, QPushButton *clear) {
  connect(start, &QPushButton::clicked, this, &ToolPanel::startConvert);
  connect(stop, &QPushButton::clicked, this, &ToolPanel::stopConvert);
  connect(clear, &QPushButton::clicked, this, [this] { log_->clear(); });
  connect(process_, SIGNAL(errorOccurred(QProcess::ProcessError)), this,
          SLOT(debugError(QProcess::ProcessError)));
  connect(process_, SIGNAL(finished(int, QProcess::ExitStatus)), this,
          SLOT(debugFinished(int, QProcess::ExitStatus)));
  connect(process_, SIGNAL(readyReadStandardOutput()), this, SLOT(debugInfo()));
  connect(process_, SIGNAL(readyReadStandardError()), this, SLOT(debugStandardError()));
}

void ToolPanel::startConvert() {
  if (isRunning()) {
    refuse("程序正在运行，请稍等.");
    return;
  }
  if (!checkInput()) return;
  setRunState(true);
  appendColoured("green", timeStamp() + "  程序启动" + kRule);
  // No working directory, environment or channel mode: the child inherits
  // the launcher's, and its two output streams stay apart.
  process_->setProgram(programPath());
  process_->setArguments(arguments());
  process_->start(QIODevice::ReadWrite);
}

void ToolPanel::stopConvert() {
  const QString question = stopQuestion();
  if (!question.isEmpty()) {
    if (!isRunning()) return;
    if (QMessageBox::question(this, "提示", question, QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) != QMessageBox::Yes) {
      return;
    }
  }
  // The killed program's end still arrives through debugError and
  // debugFinished, which clean up again harmlessly.
  process_->kill();
  setRunState(false);
}

void ToolPanel::shutDown() {
  if (!process_) return;
  disconnect(process_, nullptr, this, nullptr);
  if (process_->state() != QProcess::NotRunning) {
    process_->kill();
    process_->waitForFinished(5000);
    setRunState(false);
  }
}

void ToolPanel::debugError(QProcess::ProcessError error) {
  if (error == QProcess::FailedToStart) {
    appendColoured("red", timeStamp() + "  程序启动失败" + kRule);
  }
  log_->append("\n\n");
  setRunState(false);
}

void ToolPanel::debugFinished(int index, QProcess::ExitStatus status) {
  if (status == QProcess::CrashExit) {
    appendColoured("red", timeStamp() + "  程序异常终止" + kRule);
  } else if (index != 0) {
    // A program that reports failure through its exit code did not succeed.
    appendColoured("red", timeStamp() + QString("  程序出错退出(退出码 %1)").arg(index) + kRule);
  } else {
    appendColoured("green", timeStamp() + "  程序结束" + kRule);
  }
  log_->append("\n\n");
  setRunState(false);
}

void ToolPanel::debugInfo() {
  if (log_->document()->lineCount() > kMaxLogLines) log_->clear();
  appendColoured("#ff7038", timeStamp() + "(信息)");
  log_->setTextColor(QColor("#FFFFFF"));
  const QByteArray bytes = process_->readAllStandardOutput();
  log_->append(QString::fromUtf8(bytes.constData()));
}

void ToolPanel::debugStandardError() {
  appendColoured("#ff7038", timeStamp() + "(错误)");
  log_->setTextColor(QColor("#EA2245"));
  const QByteArray bytes = process_->readAllStandardError();
  log_->append(QString::fromUtf8(bytes.constData()));
}

void ToolPanel::appendColoured(const QString &colour, const QString &text) {
  log_->append(QString("<font color=%1>%2</font>").arg(colour, text));
}

bool ToolPanel::refuse(const QString &message) {
  QMessageBox box;
  box.setWindowTitle("提示");
  box.setText(message);
  box.exec();
  return false;
}

QString ToolPanel::dialogFolder(const QString &text) {
  const QString base = AppConfig::instance()->basePath();
  const QFileInfo info(text);
  if (text.isEmpty() || !info.exists()) return base;
  return info.isDir() ? text : info.dir().path();
}

void ToolPanel::openFolder(const QString &folder) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

bool ToolPanel::isJsonScene(const QString &path) {
  auto format = find_format(path.toStdString(), format_kind::scene);
  return format && format->extension == ".json";
}

bool ToolPanel::isReadableScene(const QString &path) {
  return is_readable_scene(path.toStdString());
}
