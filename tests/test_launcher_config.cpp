// Start-up, config.ini and the deployment of programs and models.

#include "launcher/deployment.h"
#include "launcher/generatecity.h"
#include "launcher/clineedit.h"
#include "test_launcher_util.h"

#include <QSettings>

namespace {

QVariantMap iniValues(const QString &path) {
  QSettings ini(path, QSettings::IniFormat);
  ini.setIniCodec("UTF-8");
  QVariantMap values;
  for (const QString &key : ini.allKeys()) values[key] = ini.value(key);
  return values;
}

const QVariantMap kInitialValues = {
    {"Config/Count", "100"},      {"GenerateCity/Input", ""},   {"GenerateCity/Output", ""},
    {"ConvertFormat/Input", ""},  {"ConvertFormat/Output", ""}, {"DisplayScene/Input", ""}};

} // namespace

class TestLauncherConfig : public QObject {
  Q_OBJECT

private slots:
  void firstStartOfTheProgram();
  void partialConfigIsCompleted();
  void chinesePathSurvivesRestart();
  void programPathsAreFreshCopies();
  void programCopyIsExecutable();
  void deployModelsKeepsUserFiles_data();
  void deployModelsKeepsUserFiles();
  void deployModelsOnMissingFolder();
};

// The real program, copied into a fresh folder whose name has a space and
// Chinese characters, makes its folders and seeds config.ini there.
void TestLauncherConfig::firstStartOfTheProgram() {
  QTemporaryDir temp;
  const QString folder = temp.path() + "/启动 器";
  QDir().mkpath(folder);
  QVERIFY(QFile::copy(MAPSMITH_PATH, folder + "/Mapsmith"));
  QProcess launcher;
  launcher.start(folder + "/Mapsmith", QStringList());
  QVERIFY(launcher.waitForStarted());
  QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(folder + "/config/config.ini").size() > 0, 10000);
  QVERIFY(QDir(folder + "/config/program").exists());
  QTRY_COMPARE(iniValues(folder + "/config/config.ini"), kInitialValues);
  QVERIFY(launcher.state() == QProcess::Running);
  launcher.kill();
  launcher.waitForFinished();
}

void TestLauncherConfig::partialConfigIsCompleted() {
  QTemporaryDir temp;
  writeFile(temp.path() + "/config/config.ini",
            "[GenerateCity]\nInput=/data/osm\n\n[Config]\nCount=abc\n");
  initLauncherResources();
  AppConfig::instance()->setBasePath(temp.path());
  QVariantMap expected = kInitialValues;
  expected["GenerateCity/Input"] = "/data/osm";
  expected["Config/Count"] = "abc"; // present values are never overwritten
  QCOMPARE(iniValues(AppConfig::instance()->iniPath()), expected);
  QCOMPARE(AppConfig::instance()->count(), 0);
  QVERIFY(QDir(temp.path() + "/config/program").exists());
  GenerateCity panel;
  QCOMPARE(child<CLineEdit>(&panel, "lineEditInput")->text(), QString("/data/osm"));
  QCOMPARE(child<CLineEdit>(&panel, "lineEditOutput")->text(), QString());
}

void TestLauncherConfig::chinesePathSurvivesRestart() {
  TestBase base;
  const QString input = "/数据/北京 地图";
  const QString output = "/输出/城市.json";
  AppConfig::instance()->setGenerateCityPaths(input, output);
  AppConfig::instance()->setConvertFormatPaths(output, "/输出/城市.glb");
  AppConfig::instance()->setDisplaySceneInput("/输出/城市.glb");
  // Stored as UTF-8 text, readable in the file itself.
  QVERIFY(readFile(AppConfig::instance()->iniPath()).contains(input.toUtf8()));
  AppConfig::instance()->setBasePath(base.dir.path());
  QCOMPARE(AppConfig::instance()->generateCityPaths(), qMakePair(input, output));
  QCOMPARE(AppConfig::instance()->convertFormatPaths(),
           qMakePair(output, QString("/输出/城市.glb")));
  QCOMPARE(AppConfig::instance()->displaySceneInput(), QString("/输出/城市.glb"));
  QCOMPARE(AppConfig::instance()->count(), 100);
}

void TestLauncherConfig::programPathsAreFreshCopies() {
  TestBase base;
  const QString first = generatorProgramPath(true);
  QVERIFY(isProgramCopy(first));
  QVERIFY(first.startsWith(AppConfig::instance()->programDir() + "/"));
  QCOMPARE(generatorProgramPath(false), first);
  const QString second = generatorProgramPath(true);
  QVERIFY(isProgramCopy(second) && second != first);
  // Each program has its own path.
  QVERIFY(converterProgramPath(true) != viewerProgramPath(true));
  QCOMPARE(generatorProgramPath(false), second);
}

void TestLauncherConfig::programCopyIsExecutable() {
  TestBase base;
  const QString copy = generatorProgramPath(true);
  deployProgram(Program::Generator);
  QVERIFY(QFileInfo(copy).isExecutable());
  QCOMPARE(QFileInfo(copy).size(), QFileInfo(BLOCKGEN_PATH).size());
  QProcess run;
  run.start(copy, {"--help", "true", "x"});
  QVERIFY(run.waitForFinished(10000));
  QVERIFY(run.readAllStandardOutput().contains("usage"));
  removeProgram(Program::Generator);
  QVERIFY(!QFile::exists(copy));
  removeProgram(Program::Generator); // a copy already gone is fine
}

void TestLauncherConfig::deployModelsKeepsUserFiles_data() {
  QTest::addColumn<QStringList>("userFiles");
  QTest::addColumn<QStringList>("leftAfterRemoval");
  QTest::newRow("nothing there before") << QStringList() << QStringList();
  QTest::newRow("an own 1.jpg") << QStringList{"buildings_texture/1.jpg"}
                                << QStringList{"buildings_texture", "buildings_texture/1.jpg"};
  QTest::newRow("own folders with own files")
      << QStringList{"buildings_texture/notes.txt", "tree_models/oak.ply", "tree_models/my.ply"}
      << QStringList{"buildings_texture", "buildings_texture/notes.txt", "tree_models",
                     "tree_models/my.ply", "tree_models/oak.ply"};
}

void TestLauncherConfig::deployModelsKeepsUserFiles() {
  QFETCH(QStringList, userFiles);
  QFETCH(QStringList, leftAfterRemoval);
  TestBase base;
  const QString folder = base.path("osm");
  writeFile(folder + "/a.geojson", "{}");
  for (const QString &file : userFiles) writeFile(folder + "/" + file, "mine");

  deployModels(folder);
  const ResourceFiles resources;
  for (const QString &resource : resources.textures + resources.treeModels) {
    const QString subfolder = resources.textures.contains(resource) ? resources.textureFolder
                                                                    : resources.treeModelFolder;
    const QString name = subfolder + "/" + QFileInfo(resource).fileName();
    const QByteArray bytes = readFile(folder + "/" + name);
    QCOMPARE(bytes == "mine", userFiles.contains(name)); // never overwritten
    QVERIFY(!bytes.isEmpty());
  }

  removeModels(folder);
  QStringList left;
  QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
  while (it.hasNext()) left << QDir(folder).relativeFilePath(it.next());
  left.removeOne("a.geojson");
  left.sort();
  QCOMPARE(left, leftAfterRemoval);
  for (const QString &file : userFiles) QCOMPARE(readFile(folder + "/" + file), QByteArray("mine"));
}

void TestLauncherConfig::deployModelsOnMissingFolder() {
  TestBase base;
  deployModels(base.path("none"));
  QVERIFY(!QFileInfo::exists(base.path("none")));
  removeModels(base.path("none"));
}

QTEST_MAIN(TestLauncherConfig)
#include "test_launcher_config.moc"
