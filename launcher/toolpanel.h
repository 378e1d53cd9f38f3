#pragma once

#include <QProcess>
#include <QStringList>
#include <QWidget>

class CTextBrowser;
class QPushButton;

// What the three tool panels share: the child process that runs the
// panel's program, the live log with its headers and banners, the start
// and stop steps and the clean-up when the program ends. Each panel adds
// its form, its input checks, the deployment of its program and its
// command line.
class ToolPanel : public QWidget {
  Q_OBJECT

public:
  explicit ToolPanel(QWidget *parent = nullptr);

  QProcess *process() const { return process_; }
  bool isRunning() const;

  // For a window that is closing: kill a running program, wait for it and
  // remove what its run deployed, without writing to the log or running
  // the end handling. Must run before the panel's own destructor ends.
  void shutDown();

public slots:
  void startConvert();
  void stopConvert();
  void debugError(QProcess::ProcessError error);
  void debugFinished(int index, QProcess::ExitStatus status);
  void debugInfo();
  void debugStandardError();

protected:
  // Called from the panel's initWidget and initConnect.
  void createProcess(CTextBrowser *log);
  void connectCommon(QPushButton *start, QPushButton *stop, QPushButton *clear);

  // Validation failure or notice: a modal "提示" box without parent.
  static bool refuse(const QString &message);
  // Where a file dialog for a field holding `text` opens.
  static QString dialogFolder(const QString &text);
  // The programs' own judgement of a file name, from the one list of
  // formats: extensions match in lower or upper case only.
  static bool isJsonScene(const QString &path);
  static bool isReadableScene(const QString &path);
  static void openFolder(const QString &folder);

  virtual bool checkInput() = 0;
  // Inputs enabled exactly when idle; true deploys the program (and its
  // assets) and stores the paths, false removes what was deployed.
  virtual void setRunState(bool running) = 0;
  virtual QString programPath() const = 0;
  // The program's arguments, each path whole.
  virtual QStringList arguments() const = 0;
  // The stop question; empty means stop at once without asking.
  virtual QString stopQuestion() const = 0;

private:
  void appendColoured(const QString &colour, const QString &text);

  CTextBrowser *log_ = nullptr;
  QProcess *process_ = nullptr;
};
