// The main window: start state, panel toggles, clock, quit questions,
// closing while a program runs, the program folder at exit, About.

#include "launcher/about.h"
#include "launcher/displayscene.h"
#include "launcher/generatecity.h"
#include "launcher/mainwindow.h"
#include "test_launcher_util.h"

#include <QAction>
#include <QDateTime>
#include <QLabel>
#include <QStatusBar>

class TestLauncherWindow : public QObject {
  Q_OBJECT

private slots:
  void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
  void init();
  void cleanup();

  void startStateAndToggles();
  void quit_data();
  void quit();
  void quitWhileViewerRuns();
  void exitRemovesProgramFolder();
  void aboutDialog();

private:
  void trigger(const char *action) { child<QAction>(window.get(), action)->trigger(); }

  std::unique_ptr<TestBase> base;
  std::unique_ptr<MainWindow> window;
  GenerateCity *generator = nullptr;
};

void TestLauncherWindow::init() {
  base = std::make_unique<TestBase>();
  window = std::make_unique<MainWindow>();
  window->show();
  QVERIFY(QTest::qWaitForWindowExposed(window.get()));
  generator = child<GenerateCity>(window.get(), "widgetGenerateCity");
}

void TestLauncherWindow::cleanup() {
  window.reset();
  base.reset();
}

void TestLauncherWindow::startStateAndToggles() {
  QCOMPARE(window->windowTitle(), QString("Mapsmith v1.0"));
  QVERIFY(!window->windowIcon().isNull());
  auto *converter = child(window.get(), "widgetConvertFormat");
  auto *viewer = child(window.get(), "widgetDisplayScene");
  QVERIFY(generator->isVisible() && converter->isHidden() && viewer->isHidden());
  trigger("actionShowConverFormat");
  trigger("actionShowDisplayScene");
  QVERIFY(converter->isVisible() && viewer->isVisible());
  trigger("actionShowConverFormat");
  QVERIFY(converter->isHidden() && viewer->isVisible() && generator->isVisible());

  // The clock shows the current time and is renewed every second.
  auto *status = child<QStatusBar>(window.get(), "statusbar");
  QTRY_VERIFY_WITH_TIMEOUT(!status->currentMessage().isEmpty(), 3000);
  const QString first = status->currentMessage();
  const QDateTime shown = QDateTime::fromString(first, "yyyy-MM-dd hh:mm:ss");
  QVERIFY(shown.isValid() && qAbs(shown.secsTo(QDateTime::currentDateTime())) <= 2);
  QTRY_VERIFY_WITH_TIMEOUT(status->currentMessage() != first && !status->currentMessage().isEmpty(), 3000);
}

void TestLauncherWindow::quit_data() {
  QTest::addColumn<bool>("running");
  QTest::addColumn<bool>("closeButton"); // the window's own, instead of 文件 → 退出
  QTest::addColumn<QString>("answers");  // Y and N, in the order asked
  QTest::addColumn<int>("questions");
  QTest::addColumn<bool>("closes");
  QTest::newRow("nothing runs: no question") << false << false << "" << 0 << true;
  QTest::newRow("No: nothing changes") << true << false << "N" << 1 << false;
  QTest::newRow("Yes, stop Yes") << true << false << "YY" << 2 << true;
  QTest::newRow("Yes, stop No: closes anyway") << true << false << "YN" << 2 << true;
  QTest::newRow("close button asks nothing") << true << true << "" << 0 << true;
}

void TestLauncherWindow::quit() {
  QFETCH(bool, running);
  QFETCH(bool, closeButton);
  QFETCH(QString, answers);
  QFETCH(int, questions);
  QFETCH(bool, closes);
  const QString input = copySampleTown(base->path("town"));
  qint64 pid = 0;
  QString copy;
  if (running) {
    setPaths(generator, input, base->path("out/city.json"));
    pauseChild(generator);
    click(generator, "buttonStart");
    QTRY_COMPARE(generator->process()->state(), QProcess::Running);
    pid = generator->process()->processId();
    copy = generator->process()->program();
  }
  QList<QMessageBox::StandardButton> buttons;
  for (QChar answer : answers) buttons << (answer == 'Y' ? QMessageBox::Yes : QMessageBox::No);
  BoxAnswerer boxes(buttons);
  if (closeButton) window->close();
  else trigger("actionQuit");
  const QStringList asked = {"程序正在运行，您确定要退出吗?", "正在重建三维城市，您确定要终止吗?"};
  QCOMPARE(boxes.texts, asked.mid(0, questions));
  QCOMPARE(window->isVisible(), !closes);
  if (!closes) {
    QVERIFY(generator->isRunning() && QDir(input + "/tree_models").exists());
    return;
  }
  // After the event loop the window is destroyed: a program that still
  // runs is killed, and nothing of its run is left behind.
  window.reset();
  if (running) QVERIFY(runLeftNothing(pid, copy, input));
}

void TestLauncherWindow::quitWhileViewerRuns() {
#ifndef MAPSMITH_HAS_VIEW
  QSKIP("view is not built in this tree, so Mapsmith does not carry view.exe");
#else
  auto *viewer = child<DisplayScene>(window.get(), "widgetDisplayScene");
  writeFile(base->path("scene.json"), "{}");
  setPaths(viewer, base->path("scene.json"));
  pauseChild(viewer);
  click(viewer, "buttonStart");
  QTRY_COMPARE(viewer->process()->state(), QProcess::Running);
  BoxAnswerer boxes({QMessageBox::Yes});
  trigger("actionQuit");
  QCOMPARE(boxes.texts, QStringList{"程序正在运行，您确定要退出吗?"}); // no second question
  QVERIFY(!window->isVisible());
  QTRY_VERIFY(!viewer->isRunning());
#endif
}

void TestLauncherWindow::exitRemovesProgramFolder() {
  const QString programDir = AppConfig::instance()->programDir();
  writeFile(programDir + "/left-over.exe", "from a launcher that crashed");
  window.reset();
  QVERIFY(!QDir(programDir).exists());
  QVERIFY(QFile::exists(AppConfig::instance()->iniPath()));
  AppConfig::instance()->setBasePath(base->dir.path()); // the next start
  QVERIFY(QDir(programDir).exists());
}

void TestLauncherWindow::aboutDialog() {
  QString title, text;
  bool openLinks = false;
  QTimer poll;
  connect(&poll, &QTimer::timeout, this, [&] {
    if (auto *about = qobject_cast<About *>(QApplication::activeModalWidget())) {
      title = about->windowTitle();
      text = about->findChild<QLabel *>()->text();
      openLinks = about->findChild<QLabel *>()->openExternalLinks();
      about->accept();
    }
  });
  poll.start(10);
  trigger("actionAboutProgram");
  QCOMPARE(title, QString("关于"));
  QVERIFY(openLinks);
  int at = 0; // the seven parts, in order
  for (const char *part : {"<h1>关于程序</h1>", "<p>作者：", "<p>图文教程:", "<p>视频教程:",
                           "<p>注意：本程序仅供学习和研究使用，不得用于商业用途",
                           "<p>本程序所使用的数据，均来自open street map的开源数据</p>",
                           "<p>数据所有权归open street map所有.</p>"}) {
    at = text.indexOf(QString::fromUtf8(part), at);
    QVERIFY2(at >= 0, part);
  }
  // Every link leads to documentation that ships beside the program.
  int links = 0;
  for (auto match = QRegularExpression("href=\"([^\"]+)\"").globalMatch(text); match.hasNext(); ++links) {
    const QUrl url(match.next().captured(1));
    QVERIFY2(url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile(), qPrintable(url.toString()));
  }
  QCOMPARE(links, 3);
}

QTEST_MAIN(TestLauncherWindow)
#include "test_launcher_window.moc"
