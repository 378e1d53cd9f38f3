// The tool panels on real child processes: input checks, generator runs on
// the sample town, failures, stopping, the log limit and argument lists.

#include "launcher/convertformat.h"
#include "launcher/deployment.h"
#include "launcher/displayscene.h"
#include "launcher/generatecity.h"
#include "test_launcher_util.h"

#include <QJsonDocument>

namespace {

const QString kRule(50, '-'); // the banners' tail

std::unique_ptr<ToolPanel> makePanel(const QString &kind) {
  std::unique_ptr<ToolPanel> panel;
  if (kind == "generator") panel = std::make_unique<GenerateCity>();
  if (kind == "converter") panel = std::make_unique<ConvertFormat>();
  if (kind == "viewer") panel = std::make_unique<DisplayScene>();
  panel->show();
  return panel;
}

QStringList programCopies() { return QDir(AppConfig::instance()->programDir()).entryList(QDir::Files); }

// A JSON scene of the sample town, written by blockgen itself.
[[maybe_unused]] QString makeScene(const QString &folder) {
  const QString input = copySampleTown(folder + "/town");
  deployModels(input);
  QProcess::execute(BLOCKGEN_PATH, {input, "-o", folder + "/scene/city.json"});
  removeModels(input);
  return folder + "/scene/city.json";
}

} // namespace

class TestLauncherPanels : public QObject {
  Q_OBJECT

private slots:
  void init() { base = std::make_unique<TestBase>(); }
  void cleanup() { base.reset(); }

  void checkInput_data();
  void checkInput();
  void twoGeneratorRunsOnSampleTown();
  void failedRunsAreRed_data();
  void failedRunsAreRed();
  void startWhileRunningAndStop();
  void logLimit_data();
  void logLimit();
  void argumentsKeepSpaces_data();
  void argumentsKeepSpaces();
  void converterWritesGlb();
  void viewerStoppedByStopButton();

private:
  std::unique_ptr<TestBase> base;
};

void TestLauncherPanels::checkInput_data() {
  QTest::addColumn<QString>("kind");
  QTest::addColumn<QString>("input"); // BASE: the test's base folder
  QTest::addColumn<QString>("output");
  QTest::addColumn<QString>("message"); // empty: the run starts
  QTest::newRow("gen empty input") << "generator" << "" << "BASE/o.json" << "输入目录为空.";
  QTest::newRow("gen missing") << "generator" << "BASE/none" << "BASE/o.json" << "输入目录不存在";
  QTest::newRow("gen no GeoJSON") << "generator" << "BASE/nogeo" << "BASE/o.json"
                                  << "输入目录中，不存在GeoJSON、OSM或OSM.PBF文件";
  QTest::newRow("gen .osm passes") << "generator" << "BASE/osm" << "BASE/o.json" << "";
  QTest::newRow("gen .OSM.PBF passes") << "generator" << "BASE/pbf" << "BASE/o.json" << "";
  QTest::newRow("gen empty output") << "generator" << "BASE/town" << "" << "输出文件为空.";
  QTest::newRow("gen out.txt") << "generator" << "BASE/town" << "BASE/out.txt" << "输出文件不是json格式.";
  QTest::newRow("gen out.JSON passes") << "generator" << "BASE/town" << "BASE/out.JSON" << "";
  // Mixed case is no extension to the programs, so the panels refuse it too.
  QTest::newRow("gen out.Json") << "generator" << "BASE/town" << "BASE/out.Json" << "输出文件不是json格式.";
  QTest::newRow("conv empty input") << "converter" << "" << "BASE/o.obj" << "输入文件为空.";
  QTest::newRow("conv missing") << "converter" << "BASE/none.json" << "BASE/o.obj" << "输入文件不存在";
  QTest::newRow("conv not json") << "converter" << "BASE/a.obj" << "BASE/o.obj" << "输入文件不是json文件";
  QTest::newRow("conv empty output") << "converter" << "BASE/a.json" << "" << "输出文件为空.";
  QTest::newRow("view empty input") << "viewer" << "" << "" << "输入文件为空.";
  QTest::newRow("view missing") << "viewer" << "BASE/none.obj" << "" << "输入文件不存在";
  QTest::newRow("view a.ply") << "viewer" << "BASE/a.ply" << ""
                              << "输入文件不是json、obj、stl、gltf、glb、pbrt文件";
  QTest::newRow("view a.STL passes") << "viewer" << "BASE/a.STL" << "" << "";
  QTest::newRow("view a.Stl") << "viewer" << "BASE/a.Stl" << ""
                             << "输入文件不是json、obj、stl、gltf、glb、pbrt文件";
  QTest::newRow("conv a.Json") << "converter" << "BASE/a.Json" << "BASE/o.obj" << "输入文件不是json文件";
}

void TestLauncherPanels::checkInput() {
  QFETCH(QString, kind);
  QFETCH(QString, input);
  QFETCH(QString, output);
  QFETCH(QString, message);
  copySampleTown(base->path("town"));
  // None of these is read by the generator: wrong case, a folder, a bare
  // extension, another extension.
  for (const char *name : {"a.obj", "a.json", "a.ply", "a.STL", "a.Stl", "a.Json", "nogeo/a.GEOJSON",
                           "nogeo/b.geojson/x", "nogeo/.geojson", "nogeo/c.geojson.txt",
                           "nogeo/d.Osm", "nogeo/.osm", "nogeo/e.osm.pbf.part", "osm/map.osm",
                           "pbf/MAP.OSM.PBF"}) {
    writeFile(base->path(name), "{}");
  }
  auto panel = makePanel(kind);
  setPaths(panel.get(), input.replace("BASE", base->dir.path()),
           output.replace("BASE", base->dir.path()));
  BoxAnswerer boxes;
  click(panel.get(), "buttonStart");
  if (!message.isEmpty()) {
    QCOMPARE(boxes.texts, QStringList{message});
    QCOMPARE(boxes.titles, QStringList{"提示"});
    QVERIFY(!panel->isRunning() && programCopies().isEmpty() && logText(panel.get()).isEmpty());
    QVERIFY(!QDir(input + "/buildings_texture").exists());
    return;
  }
  QVERIFY(boxes.texts.isEmpty() && isProgramCopy(panel->process()->program()));
  if (kind == "viewer") click(panel.get(), "buttonStop"); // no question
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(panel.get()), 20000);
  QVERIFY(boxes.texts.isEmpty());
}

// Spaces in both paths: each reaches blockgen as one argument. Two runs
// execute two different copies, and each run's copy and models go.
void TestLauncherPanels::twoGeneratorRunsOnSampleTown() {
  const QString input = copySampleTown(base->path("sample town"));
  const QString output = base->path("out dir/city.json");
  GenerateCity panel;
  panel.show();
  setPaths(&panel, input, output);
  QStringList copies;
  QList<qint64> pids;
  connect(panel.process(), &QProcess::started, this, [&] {
    copies << panel.process()->program();
    pids << panel.process()->processId();
    QVERIFY(QFileInfo(copies.last()).isExecutable());
    QCOMPARE(QDir(input + "/buildings_texture").entryList(QDir::Files).size(), 14);
    QCOMPARE(QDir(input + "/tree_models").entryList(QDir::Files).size(), 5);
  });
  for (int run = 1; run <= 2; ++run) {
    click(&panel, "buttonStart");
    QVERIFY(!child(&panel, "lineEditInput")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(logText(&panel).count("程序结束" + kRule) == run, 20000);
    QVERIFY(runLeftNothing(pids.last(), copies.last(), input));
    QVERIFY(child(&panel, "lineEditInput")->isEnabled());
  }
  QVERIFY(copies[0] != copies[1]);
  QCOMPARE(panel.process()->arguments(), (QStringList{input, "-o", output}));
  const QString log = logText(&panel);
  const int started = log.indexOf("程序启动" + kRule);
  QVERIFY(started >= 0 && log.indexOf("(信息)") > started && log.indexOf("load geojsons") > started);
  QVERIFY(log.contains("save scene"));
  QVERIFY(logHtml(&panel).contains("#008000") && !logHtml(&panel).contains("#ff0000"));
  QVERIFY(QJsonDocument::fromJson(readFile(output)).isObject());
  QVERIFY(!QDir(base->path("out dir/shapes")).isEmpty());
  QCOMPARE(AppConfig::instance()->generateCityPaths(), qMakePair(input, output));
}

void TestLauncherPanels::failedRunsAreRed_data() {
  QTest::addColumn<QString>("geojson");
  QTest::addColumn<bool>("blockProgramDir");
  QTest::addColumn<QString>("banner");
  QTest::newRow("exit code 1") << "{ not json" << false << "程序出错退出(退出码 1)";
  QTest::newRow("copy cannot be written") << "{}" << true << "程序启动失败";
}

void TestLauncherPanels::failedRunsAreRed() {
  QFETCH(QString, geojson);
  QFETCH(bool, blockProgramDir);
  QFETCH(QString, banner);
  const QString input = base->path("in");
  writeFile(input + "/bad.geojson", geojson.toUtf8());
  if (blockProgramDir) { // a file where the program folder should be
    QDir(AppConfig::instance()->programDir()).removeRecursively();
    writeFile(AppConfig::instance()->programDir(), "in the way");
  }
  GenerateCity panel;
  panel.show();
  setPaths(&panel, input, base->path("out/city.json"));
  click(&panel, "buttonStart");
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(&panel), 20000);
  QVERIFY2(logText(&panel).contains(banner + kRule), qPrintable(logText(&panel)));
  QVERIFY(!logText(&panel).contains("程序结束"));
  QVERIFY(logHtml(&panel).contains("#ff0000"));
  if (!blockProgramDir) QVERIFY(logText(&panel).contains("bad.geojson")); // blockgen's message
  QCOMPARE(QDir(input).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"bad.geojson"});
  QVERIFY(child(&panel, "lineEditInput")->isEnabled());
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
  BoxAnswerer boxes({QMessageBox::No, QMessageBox::Yes});
  click(&panel, "buttonStart");
  QCOMPARE(panel.process()->program(), copy);
  click(&panel, "buttonStop"); // answered No
  QVERIFY(panel.isRunning() && !child(&panel, "lineEditInput")->isEnabled());
  QVERIFY(QFile::exists(copy) && QDir(input + "/tree_models").exists());
  click(&panel, "buttonStop"); // answered Yes
  QCOMPARE(boxes.texts, (QStringList{"程序正在运行，请稍等.", "正在重建三维城市，您确定要终止吗?",
                                     "正在重建三维城市，您确定要终止吗?"}));
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(&panel), 10000);
  QVERIFY(logText(&panel).contains("程序异常终止" + kRule));
  QVERIFY(runLeftNothing(pid, copy, input));
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
  QCOMPARE(log->toPlainText().startsWith("x\n"), !cleared);
  QVERIFY(log->toPlainText().contains(standardError ? "(错误)" : "(信息)"));
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
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(panel.get()) && programCopies().isEmpty(), 20000);
}

void TestLauncherPanels::converterWritesGlb() {
#ifndef MAPSMITH_HAS_CONVERT
  QSKIP("convert is not built in this tree, so Mapsmith does not carry convert.exe");
#else
  const QString scene = makeScene(base->dir.path());
  const QString output = base->path("glb out/city.glb");
  QDir().mkpath(base->path("glb out"));
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
  DisplayScene panel;
  panel.show();
  setPaths(&panel, makeScene(base->dir.path()));
  click(&panel, "buttonStart");
  QTRY_COMPARE_WITH_TIMEOUT(panel.process()->state(), QProcess::Running, 20000);
  BoxAnswerer boxes;
  click(&panel, "buttonStop");
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(&panel), 10000);
  QVERIFY(boxes.texts.isEmpty());
  QVERIFY2(logText(&panel).contains("程序异常终止" + kRule), qPrintable(logText(&panel)));
  QVERIFY(programCopies().isEmpty());
#endif
}

QTEST_MAIN(TestLauncherPanels)
#include "test_launcher_panels.moc"
