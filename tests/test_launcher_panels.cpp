// The three tool panels on real child processes: input checks, a generator
// run on the sample town, failures, stopping, the log limit, argument lists
// and the file dialogs' start folders.

#include "launcher/clineedit.h"
#include "launcher/convertformat.h"
#include "launcher/deployment.h"
#include "launcher/displayscene.h"
#include "launcher/generatecity.h"
#include "test_launcher_util.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QJsonDocument>
#include <QSettings>

#include <memory>

namespace {

const QString kRule(50, '-');

std::unique_ptr<ToolPanel> makePanel(const QString &kind) {
  std::unique_ptr<ToolPanel> panel;
  if (kind == "generator") panel = std::make_unique<GenerateCity>();
  if (kind == "converter") panel = std::make_unique<ConvertFormat>();
  if (kind == "viewer") panel = std::make_unique<DisplayScene>();
  panel->show();
  return panel;
}

void setPaths(QObject *panel, const QString &input, const QString &output = QString()) {
  child<CLineEdit>(panel, "lineEditInput")->setText(input);
  if (auto *edit = panel->findChild<CLineEdit *>("lineEditOutput")) edit->setText(output);
}

QStringList programCopies() {
  return QDir(AppConfig::instance()->programDir()).entryList(QDir::Files);
}

// A JSON scene of the sample town, written by blockgen itself.
[[maybe_unused]] QString makeScene(const QString &folder) {
  const QString input = copySampleTown(folder + "/town");
  deployModels(input);
  const QString scene = folder + "/scene/city.json";
  QProcess::execute(BLOCKGEN_PATH, {input, "-o", scene});
  removeModels(input);
  return scene;
}

} // namespace

class TestLauncherPanels : public QObject {
  Q_OBJECT

public slots:
  void openUrl(const QUrl &url) { opened << url; }

private slots:
  void init() { base = std::make_unique<TestBase>(); }
  void cleanup() { base.reset(); }

  void checkInput_data();
  void checkInput();
  void generatorRunOnSampleTown();
  void twoRunsRunTwoCopies();
  void failingRunIsRed();
  void copyThatCannotStart();
  void startWhileRunningAndStop();
  void logLimit_data();
  void logLimit();
  void argumentsKeepSpaces_data();
  void argumentsKeepSpaces();
  void converterWritesGlb();
  void viewerStoppedByStopButton();
  void dialogStartFolder_data();
  void dialogStartFolder();
  void openFolders();

private:
  std::unique_ptr<TestBase> base;
  QList<QUrl> opened;
};

void TestLauncherPanels::checkInput_data() {
  QTest::addColumn<QString>("kind");
  QTest::addColumn<QString>("input"); // BASE: the test's base folder
  QTest::addColumn<QString>("output");
  QTest::addColumn<QString>("message"); // empty: the run starts
  QTest::newRow("generator, empty input") << "generator" << "" << "BASE/o.json" << "输入目录为空.";
  QTest::newRow("generator, missing folder") << "generator" << "BASE/none" << "BASE/o.json"
                                             << "输入目录不存在";
  QTest::newRow("generator, no GeoJSON file") << "generator" << "BASE/nogeo" << "BASE/o.json"
                                              << "输入目录中，不存在GeoJSON文件";
  QTest::newRow("generator, empty output") << "generator" << "BASE/town" << "" << "输出文件为空.";
  QTest::newRow("generator, output not json") << "generator" << "BASE/town" << "BASE/out.txt"
                                              << "输出文件不是json格式.";
  QTest::newRow("generator, out.JSON passes") << "generator" << "BASE/town" << "BASE/out.JSON" << "";
  QTest::newRow("converter, empty input") << "converter" << "" << "BASE/o.obj" << "输入文件为空.";
  QTest::newRow("converter, missing input") << "converter" << "BASE/none.json" << "BASE/o.obj"
                                            << "输入文件不存在";
  QTest::newRow("converter, input not json") << "converter" << "BASE/a.obj" << "BASE/o.obj"
                                             << "输入文件不是json文件";
  QTest::newRow("converter, empty output") << "converter" << "BASE/a.json" << "" << "输出文件为空.";
  QTest::newRow("viewer, empty input") << "viewer" << "" << "" << "输入文件为空.";
  QTest::newRow("viewer, missing input") << "viewer" << "BASE/none.obj" << "" << "输入文件不存在";
  QTest::newRow("viewer, ply refused") << "viewer" << "BASE/a.ply" << ""
                                       << "输入文件不是json、obj、stl、gltf、glb、pbrt文件";
  QTest::newRow("viewer, a.STL passes") << "viewer" << "BASE/a.STL" << "" << "";
}

void TestLauncherPanels::checkInput() {
  QFETCH(QString, kind);
  QFETCH(QString, input);
  QFETCH(QString, output);
  QFETCH(QString, message);
  copySampleTown(base->path("town"));
  for (const char *name : {"a.obj", "a.json", "a.ply", "a.STL"}) writeFile(base->path(name), "x");
  // Nothing here is read by the generator: wrong case, a folder, a bare
  // extension, another extension.
  for (const char *name : {"nogeo/a.GEOJSON", "nogeo/b.geojson/x", "nogeo/.geojson",
                           "nogeo/c.geojson.txt"}) {
    writeFile(base->path(name), "{}");
  }
  input.replace("BASE", base->dir.path());
  output.replace("BASE", base->dir.path());

  auto panel = makePanel(kind);
  setPaths(panel.get(), input, output);
  BoxAnswerer boxes;
  click(panel.get(), "buttonStart");
  if (!message.isEmpty()) {
    QCOMPARE(boxes.texts, QStringList{message});
    QCOMPARE(boxes.titles, QStringList{"提示"});
    QVERIFY(!panel->isRunning());
    QVERIFY(programCopies().isEmpty());
    QVERIFY(!QDir(input + "/buildings_texture").exists());
    QVERIFY(logText(panel.get()).isEmpty());
    return;
  }
  QVERIFY(boxes.texts.isEmpty());
  QVERIFY(isProgramCopy(panel->process()->program()));
  if (kind == "viewer") click(panel.get(), "buttonStop"); // the viewer stops without a question
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(panel.get()), 20000);
  QVERIFY(boxes.texts.isEmpty());
}

void TestLauncherPanels::generatorRunOnSampleTown() {
  // Spaces in both paths: each reaches blockgen as one argument.
  const QString input = copySampleTown(base->path("sample town"));
  const QString output = base->path("out dir/city.json");
  GenerateCity panel;
  panel.show();
  setPaths(&panel, input, output);
  QString copy;
  bool deployed = false;
  connect(panel.process(), &QProcess::started, this, [&] {
    copy = panel.process()->program();
    deployed = QFileInfo(copy).isExecutable() &&
               QDir(input + "/buildings_texture").entryList(QDir::Files).size() == 14 &&
               QDir(input + "/tree_models").entryList(QDir::Files).size() == 5;
  });
  click(&panel, "buttonStart");
  QVERIFY(!child<CLineEdit>(&panel, "lineEditInput")->isEnabled());
  QVERIFY(child<QPushButton>(&panel, "buttonStop")->isEnabled());
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(&panel), 20000);

  const QString log = logText(&panel);
  QVERIFY2(log.contains("程序结束" + kRule), qPrintable(log));
  const int started = log.indexOf("程序启动" + kRule);
  QVERIFY(started >= 0);
  QVERIFY(log.indexOf("(信息)") > started);
  QVERIFY(log.indexOf("load geojsons") > started);
  QVERIFY(log.contains("save scene"));
  const QString html = child<CTextBrowser>(&panel, "textBrowserLog")->toHtml();
  QVERIFY(html.contains("#008000")); // green banners
  QVERIFY(!html.contains("#ff0000"));

  QCOMPARE(panel.process()->arguments(), (QStringList{input, "-o", output}));
  QVERIFY(deployed);
  QVERIFY(isProgramCopy(copy));
  QVERIFY(!QFile::exists(copy));
  QVERIFY(!QDir(input + "/buildings_texture").exists());
  QVERIFY(!QDir(input + "/tree_models").exists());
  QVERIFY(QJsonDocument::fromJson(readFile(output)).isObject());
  QVERIFY(!QDir(base->path("out dir/shapes")).isEmpty());
  QVERIFY(child<CLineEdit>(&panel, "lineEditInput")->isEnabled());
  QSettings ini(AppConfig::instance()->iniPath(), QSettings::IniFormat);
  ini.setIniCodec("UTF-8");
  QCOMPARE(ini.value("/GenerateCity/Input").toString(), input);
  QCOMPARE(ini.value("/GenerateCity/Output").toString(), output);
}

void TestLauncherPanels::twoRunsRunTwoCopies() {
  const QString input = copySampleTown(base->path("town"));
  GenerateCity panel;
  panel.show();
  setPaths(&panel, input, base->path("out/city.json"));
  QStringList copies;
  connect(panel.process(), &QProcess::started, this,
          [&] { copies << panel.process()->program(); });
  for (int run = 1; run <= 2; ++run) {
    click(&panel, "buttonStart");
    QTRY_VERIFY_WITH_TIMEOUT(logText(&panel).count("程序结束") == run, 20000);
  }
  QCOMPARE(copies.size(), 2);
  QVERIFY(copies[0] != copies[1]);
  for (const QString &copy : copies) QVERIFY(isProgramCopy(copy) && !QFile::exists(copy));
  QVERIFY(programCopies().isEmpty());
}

void TestLauncherPanels::failingRunIsRed() {
  const QString input = base->path("broken");
  writeFile(input + "/bad.geojson", "{ not json");
  GenerateCity panel;
  panel.show();
  setPaths(&panel, input, base->path("out/city.json"));
  click(&panel, "buttonStart");
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(&panel), 20000);
  const QString log = logText(&panel);
  QVERIFY2(log.contains("程序出错退出(退出码 1)" + kRule), qPrintable(log));
  QVERIFY(log.contains("bad.geojson"));
  QVERIFY(!log.contains("程序结束"));
  QVERIFY(child<CTextBrowser>(&panel, "textBrowserLog")->toHtml().contains("#ff0000"));
  QVERIFY(programCopies().isEmpty());
  QCOMPARE(QDir(input).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"bad.geojson"});
}

void TestLauncherPanels::copyThatCannotStart() {
  // A file where the program folder should be: the copy cannot be written.
  const QString programDir = AppConfig::instance()->programDir();
  QDir(programDir).removeRecursively();
  writeFile(programDir, "in the way");
  const QString input = copySampleTown(base->path("town"));
  GenerateCity panel;
  panel.show();
  setPaths(&panel, input, base->path("out/city.json"));
  click(&panel, "buttonStart");
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(&panel), 20000);
  const QString log = logText(&panel);
  QVERIFY2(log.contains("程序启动失败" + kRule), qPrintable(log));
  QVERIFY(!log.contains("程序结束"));
  QVERIFY(child<CTextBrowser>(&panel, "textBrowserLog")->toHtml().contains("#ff0000"));
  QVERIFY(!QDir(input + "/buildings_texture").exists());
  QVERIFY(child<CLineEdit>(&panel, "lineEditInput")->isEnabled());
}

void TestLauncherPanels::startWhileRunningAndStop() {
  const QString input = copySampleTown(base->path("town"));
  GenerateCity panel;
  panel.show();
  setPaths(&panel, input, base->path("out/city.json"));
  pauseChild(&panel);
  click(&panel, "buttonStart");
  QTRY_COMPARE(panel.process()->state(), QProcess::Running);
  const QString copy = panel.process()->program();
  const qint64 pid = panel.process()->processId();
  {
    BoxAnswerer boxes;
    click(&panel, "buttonStart");
    QCOMPARE(boxes.texts, QStringList{"程序正在运行，请稍等."});
    QCOMPARE(panel.process()->program(), copy);
  }
  {
    BoxAnswerer boxes({QMessageBox::No});
    click(&panel, "buttonStop");
    QCOMPARE(boxes.texts, QStringList{"正在重建三维城市，您确定要终止吗?"});
    QVERIFY(panel.isRunning());
    QVERIFY(!child<CLineEdit>(&panel, "lineEditInput")->isEnabled());
    QVERIFY(QFile::exists(copy));
    QVERIFY(QDir(input + "/tree_models").exists());
  }
  {
    BoxAnswerer boxes({QMessageBox::Yes});
    click(&panel, "buttonStop");
    QCOMPARE(boxes.texts.size(), 1);
  }
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(&panel), 10000);
  QVERIFY(logText(&panel).contains("程序异常终止" + kRule));
  QVERIFY(processGone(pid));
  QVERIFY(!QFile::exists(copy));
  QVERIFY(!QDir(input + "/tree_models").exists());
  QVERIFY(child<CLineEdit>(&panel, "lineEditInput")->isEnabled());
}

void TestLauncherPanels::logLimit_data() {
  QTest::addColumn<int>("lines");
  QTest::addColumn<bool>("standardError");
  QTest::addColumn<bool>("cleared");
  QTest::newRow("10000 lines are kept") << 10000 << false << false;
  QTest::newRow("10001 lines are cleared") << 10001 << false << true;
  QTest::newRow("standard error never clears") << 10001 << true << false;
}

void TestLauncherPanels::logLimit() {
  QFETCH(int, lines);
  QFETCH(bool, standardError);
  QFETCH(bool, cleared);
  GenerateCity panel;
  auto *log = child<CTextBrowser>(&panel, "textBrowserLog");
  log->setPlainText(QString("x\n").repeated(lines - 1) + "x");
  QCOMPARE(log->document()->lineCount(), lines);
  QMetaObject::invokeMethod(&panel, standardError ? "debugStandardError" : "debugInfo");
  const QString text = log->toPlainText();
  QCOMPARE(text.startsWith("x\n"), !cleared);
  QVERIFY(text.contains(standardError ? "(错误)" : "(信息)"));
}

void TestLauncherPanels::argumentsKeepSpaces_data() {
  QTest::addColumn<QString>("kind");
  QTest::newRow("converter") << "converter";
  QTest::newRow("viewer") << "viewer";
}

void TestLauncherPanels::argumentsKeepSpaces() {
  QFETCH(QString, kind);
  const QString scene = base->path("my scenes/my scene.json");
  const QString output = base->path("my out/my scene.glb");
  writeFile(scene, "{}");
  auto panel = makePanel(kind);
  setPaths(panel.get(), scene, output);
  click(panel.get(), "buttonStart");
  const QStringList expected = kind == "viewer" ? QStringList{"--scene", scene}
                                                : QStringList{"--scene", scene, "--output", output};
  QCOMPARE(panel->process()->arguments(), expected);
  BoxAnswerer boxes({QMessageBox::Yes});
  click(panel.get(), "buttonStop");
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(panel.get()), 20000);
  QTRY_VERIFY(programCopies().isEmpty());
}

void TestLauncherPanels::converterWritesGlb() {
#ifndef MAPSMITH_HAS_CONVERT
  QSKIP("convert is not built in this tree, so Mapsmith does not carry convert.exe");
#else
  const QString scene = makeScene(base->dir.path());
  const QString output = base->path("glb out/city.glb");
  ConvertFormat panel;
  panel.show();
  setPaths(&panel, scene, output);
  click(&panel, "buttonStart");
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(&panel), 60000);
  QVERIFY2(logText(&panel).contains("程序结束" + kRule), qPrintable(logText(&panel)));
  QVERIFY(readFile(output).startsWith("glTF"));
  QVERIFY(programCopies().isEmpty());
#endif
}

void TestLauncherPanels::viewerStoppedByStopButton() {
#ifndef MAPSMITH_HAS_VIEW
  QSKIP("view is not built in this tree, so Mapsmith does not carry view.exe");
#else
  const QString scene = makeScene(base->dir.path());
  DisplayScene panel;
  panel.show();
  setPaths(&panel, scene);
  click(&panel, "buttonStart");
  QTRY_COMPARE_WITH_TIMEOUT(panel.process()->state(), QProcess::Running, 20000);
  BoxAnswerer boxes;
  click(&panel, "buttonStop");
  QVERIFY(boxes.texts.isEmpty());
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(&panel), 10000);
  QVERIFY2(logText(&panel).contains("程序异常终止" + kRule), qPrintable(logText(&panel)));
  QVERIFY(programCopies().isEmpty());
#endif
}

void TestLauncherPanels::dialogStartFolder_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("folder");
  QTest::newRow("empty: the base folder") << "" << "BASE";
  QTest::newRow("missing: the base folder") << "BASE/none/a.json" << "BASE";
  QTest::newRow("a folder: itself") << "BASE/scenes" << "BASE/scenes";
  QTest::newRow("a file: its folder") << "BASE/scenes/a.json" << "BASE/scenes";
}

void TestLauncherPanels::dialogStartFolder() {
  QFETCH(QString, text);
  QFETCH(QString, folder);
  writeFile(base->path("scenes/a.json"), "{}");
  text.replace("BASE", base->dir.path());
  folder.replace("BASE", base->dir.path());
  ConvertFormat panel;
  panel.show();
  setPaths(&panel, text, "x.obj");
  QString seen;
  QTimer poll;
  connect(&poll, &QTimer::timeout, this, [&] {
    if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
      seen = dialog->directory().absolutePath();
      dialog->reject();
    }
  });
  poll.start(10);
  click(&panel, "buttonSelectInput");
  QCOMPARE(seen, folder);
  QCOMPARE(child<CLineEdit>(&panel, "lineEditInput")->text(), text); // cancelled
}

void TestLauncherPanels::openFolders() {
  QDesktopServices::setUrlHandler("file", this, "openUrl");
  opened.clear();
  GenerateCity generator;
  generator.show();
  setPaths(&generator, base->path("osm"), base->path("out/city.json"));
  click(&generator, "buttonOpenInputDir");
  click(&generator, "buttonOpenOutputDir");
  DisplayScene viewer;
  viewer.show();
  setPaths(&viewer, base->path("scenes/a.glb"));
  click(&viewer, "buttonOpenInputDir");
  QDesktopServices::unsetUrlHandler("file");
  QCOMPARE(opened, (QList<QUrl>{QUrl::fromLocalFile(base->path("osm")),
                                QUrl::fromLocalFile(base->path("out")),
                                QUrl::fromLocalFile(base->path("scenes"))}));
}

QTEST_MAIN(TestLauncherPanels)
#include "test_launcher_panels.moc"
