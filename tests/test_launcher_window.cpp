// The main window: start state, panel toggles, clock, quit questions,
// closing while programs run, the program folder at exit, About.

#include "launcher/about.h"
#include "launcher/clineedit.h"
#include "launcher/displayscene.h"
#include "launcher/generatecity.h"
#include "launcher/mainwindow.h"
#include "test_launcher_util.h"

#include <QAction>
#include <QDateTime>
#include <QLabel>
#include <QStatusBar>

#include <memory>

class TestLauncherWindow : public QObject {
  Q_OBJECT

private slots:
  void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
  void init();
  void cleanup();

  void startState();
  void panelToggles();
  void quitWithNothingRunning();
  void quitAnsweredNo();
  void quitAnsweredYes_data();
  void quitAnsweredYes();
  void quitWhileViewerRuns();
  void closeWhileRunningEndsTheProgram();
  void exitRemovesProgramFolder();
  void aboutDialog();

private:
  // Starts the generator on the sample town and holds it running.
  void startGenerator();

  std::unique_ptr<TestBase> base;
  std::unique_ptr<MainWindow> window;
  GenerateCity *generator = nullptr;
  QString input;
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

void TestLauncherWindow::startGenerator() {
  input = copySampleTown(base->path("town"));
  child<CLineEdit>(generator, "lineEditInput")->setText(input);
  child<CLineEdit>(generator, "lineEditOutput")->setText(base->path("out/city.json"));
  pauseChild(generator);
  click(generator, "buttonStart");
  QTRY_COMPARE(generator->process()->state(), QProcess::Running);
}

void TestLauncherWindow::startState() {
  QCOMPARE(window->windowTitle(), QString("Mapsmith v1.0"));
  QVERIFY(!window->windowIcon().isNull());
  QVERIFY(generator->isVisible());
  QVERIFY(child<QWidget>(window.get(), "widgetConvertFormat")->isHidden());
  QVERIFY(child<QWidget>(window.get(), "widgetDisplayScene")->isHidden());
  auto *status = child<QStatusBar>(window.get(), "statusbar");
  QTRY_VERIFY_WITH_TIMEOUT(!status->currentMessage().isEmpty(), 3000);
  const QDateTime shown = QDateTime::fromString(status->currentMessage(), "yyyy-MM-dd hh:mm:ss");
  QVERIFY(shown.isValid());
  QVERIFY(qAbs(shown.secsTo(QDateTime::currentDateTime())) <= 2);
  // It is renewed every second.
  const QString first = status->currentMessage();
  QTRY_VERIFY_WITH_TIMEOUT(status->currentMessage() != first && !status->currentMessage().isEmpty(),
                           3000);
}

void TestLauncherWindow::panelToggles() {
  auto *convert = child<QAction>(window.get(), "actionShowConverFormat");
  auto *scene = child<QAction>(window.get(), "actionShowDisplayScene");
  auto *converter = child<QWidget>(window.get(), "widgetConvertFormat");
  auto *viewer = child<QWidget>(window.get(), "widgetDisplayScene");
  convert->trigger();
  QVERIFY(converter->isVisible() && viewer->isHidden());
  scene->trigger();
  QVERIFY(converter->isVisible() && viewer->isVisible());
  convert->trigger();
  QVERIFY(converter->isHidden() && viewer->isVisible());
  scene->trigger();
  QVERIFY(viewer->isHidden() && generator->isVisible());
}

void TestLauncherWindow::quitWithNothingRunning() {
  BoxAnswerer boxes;
  child<QAction>(window.get(), "actionQuit")->trigger();
  QVERIFY(!window->isVisible());
  QVERIFY(boxes.texts.isEmpty());
}

void TestLauncherWindow::quitAnsweredNo() {
  startGenerator();
  BoxAnswerer boxes({QMessageBox::No});
  child<QAction>(window.get(), "actionQuit")->trigger();
  QCOMPARE(boxes.texts, QStringList{"程序正在运行，您确定要退出吗?"});
  QCOMPARE(boxes.titles, QStringList{"提示"});
  QVERIFY(window->isVisible());
  QVERIFY(generator->isRunning());
  QVERIFY(QDir(input + "/tree_models").exists());
}

void TestLauncherWindow::quitAnsweredYes_data() {
  QTest::addColumn<bool>("stopGenerator");
  QTest::newRow("generator stopped") << true;
  QTest::newRow("generator kept, window closes anyway") << false;
}

void TestLauncherWindow::quitAnsweredYes() {
  QFETCH(bool, stopGenerator);
  startGenerator();
  const QString copy = generator->process()->program();
  const qint64 pid = generator->process()->processId();
  BoxAnswerer boxes({QMessageBox::Yes, stopGenerator ? QMessageBox::Yes : QMessageBox::No});
  child<QAction>(window.get(), "actionQuit")->trigger();
  QCOMPARE(boxes.texts,
           (QStringList{"程序正在运行，您确定要退出吗?", "正在重建三维城市，您确定要终止吗?"}));
  QVERIFY(!window->isVisible());
  // A killed program ends through the event loop.
  if (stopGenerator) QTRY_VERIFY(!generator->isRunning());
  else QVERIFY(generator->isRunning());
  // After the event loop the window is destroyed: whatever still ran is
  // killed and nothing of the run is left behind.
  window.reset();
  QVERIFY(processGone(pid));
  QVERIFY(!QFile::exists(copy));
  QVERIFY(!QDir(input + "/buildings_texture").exists());
  QVERIFY(!QDir(input + "/tree_models").exists());
  QVERIFY(!QDir(AppConfig::instance()->programDir()).exists());
}

void TestLauncherWindow::quitWhileViewerRuns() {
#ifndef MAPSMITH_HAS_VIEW
  QSKIP("view is not built in this tree, so Mapsmith does not carry view.exe");
#else
  auto *viewer = child<DisplayScene>(window.get(), "widgetDisplayScene");
  writeFile(base->path("scene.json"), "{}");
  child<CLineEdit>(viewer, "lineEditInput")->setText(base->path("scene.json"));
  pauseChild(viewer);
  click(viewer, "buttonStart");
  QTRY_COMPARE(viewer->process()->state(), QProcess::Running);
  BoxAnswerer boxes({QMessageBox::Yes});
  child<QAction>(window.get(), "actionQuit")->trigger();
  QCOMPARE(boxes.texts, QStringList{"程序正在运行，您确定要退出吗?"}); // no second question
  QVERIFY(!window->isVisible());
  QTRY_VERIFY(!viewer->isRunning());
#endif
}

void TestLauncherWindow::closeWhileRunningEndsTheProgram() {
  startGenerator();
  const QString copy = generator->process()->program();
  const qint64 pid = generator->process()->processId();
  BoxAnswerer boxes;
  window->close(); // the window's own close button asks nothing
  QVERIFY(boxes.texts.isEmpty());
  QVERIFY(generator->isRunning());
  window.reset();
  QVERIFY(processGone(pid));
  QVERIFY(!QFile::exists(copy));
  QVERIFY(!QDir(input + "/buildings_texture").exists());
  QVERIFY(!QDir(input + "/tree_models").exists());
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
  QString title;
  QString text;
  bool openLinks = false;
  QTimer poll;
  connect(&poll, &QTimer::timeout, this, [&] {
    if (auto *about = qobject_cast<About *>(QApplication::activeModalWidget())) {
      title = about->windowTitle();
      auto *label = about->findChild<QLabel *>();
      text = label->text();
      openLinks = label->openExternalLinks();
      about->accept();
    }
  });
  poll.start(10);
  child<QAction>(window.get(), "actionAboutProgram")->trigger();
  QCOMPARE(title, QString("关于"));
  QVERIFY(openLinks);
  // The seven parts, in order.
  int at = 0;
  for (const char *part : {"<h1>关于程序</h1>", "<p>作者：", "<p>图文教程:", "<p>视频教程:",
                           "<p>注意：本程序仅供学习和研究使用，不得用于商业用途",
                           "<p>本程序所使用的数据，均来自open street map的开源数据</p>",
                           "<p>数据所有权归open street map所有.</p>"}) {
    const int found = text.indexOf(QString::fromUtf8(part), at);
    QVERIFY2(found >= at, part);
    at = found;
  }
  // Every link leads to documentation that ships beside the program.
  const QRegularExpression href("href=\"([^\"]+)\"");
  int links = 0;
  for (auto match = href.globalMatch(text); match.hasNext(); ++links) {
    const QUrl url(match.next().captured(1));
    QVERIFY2(url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile(), qPrintable(url.toString()));
  }
  QCOMPARE(links, 3);
}

QTEST_MAIN(TestLauncherWindow)
#include "test_launcher_window.moc"
