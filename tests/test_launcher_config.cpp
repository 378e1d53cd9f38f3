// Start-up, config.ini, program copies and the deployment of the models.

#include "launcher/deployment.h"
#include "launcher/generatecity.h"
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
    {"Config/Count", "100"},     {"GenerateCity/Input", ""},   {"GenerateCity/Output", ""},
    {"ConvertFormat/Input", ""}, {"ConvertFormat/Output", ""}, {"DisplayScene/Input", ""}};

} // namespace

class TestLauncherConfig : public QObject {
  Q_OBJECT

private slots:
  void firstStartOfTheProgram();
  void partialConfigIsCompleted();
  void chinesePathSurvivesRestart();
  void programCopies();
  void deployModelsKeepsUserFiles_data();
  void deployModelsKeepsUserFiles();
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
  QTRY_COMPARE_WITH_TIMEOUT(iniValues(folder + "/config/config.ini"), kInitialValues, 10000);
  QVERIFY(QDir(folder + "/config/program").exists());
  QCOMPARE(launcher.state(), QProcess::Running);
  launcher.kill();
  launcher.waitForFinished();
}

void TestLauncherConfig::partialConfigIsCompleted() {
  QTemporaryDir temp;
  writeFile(temp.path() + "/config/config.ini", "[GenerateCity]\nInput=/data/osm\n[Config]\nCount=abc\n");
  initLauncherResources();
  AppConfig::instance()->setBasePath(temp.path());
  QVariantMap expected = kInitialValues;
  expected["GenerateCity/Input"] = "/data/osm";
  expected["Config/Count"] = "abc"; // values present are never overwritten
  QCOMPARE(iniValues(AppConfig::instance()->iniPath()), expected);
  QCOMPARE(AppConfig::instance()->count(), 0);
  QVERIFY(QDir(temp.path() + "/config/program").exists());
  GenerateCity panel;
  QCOMPARE(child<CLineEdit>(&panel, "lineEditInput")->text(), QString("/data/osm"));
}

void TestLauncherConfig::chinesePathSurvivesRestart() {
  TestBase base;
  const QString input = "/数据/北京 地图";
  const QString scene = "/输出/城市.json";
  AppConfig::instance()->setGenerateCityPaths(input, scene);
  AppConfig::instance()->setConvertFormatPaths(scene, "/输出/城市.glb");
  AppConfig::instance()->setDisplaySceneInput("/输出/城市.glb");
  QVERIFY(readFile(AppConfig::instance()->iniPath()).contains(input.toUtf8())); // UTF-8 text
  AppConfig::instance()->setBasePath(base.dir.path());
  QCOMPARE(AppConfig::instance()->generateCityPaths(), qMakePair(input, scene));
  QCOMPARE(AppConfig::instance()->convertFormatPaths(), qMakePair(scene, QString("/输出/城市.glb")));
  QCOMPARE(AppConfig::instance()->displaySceneInput(), QString("/输出/城市.glb"));
}

void TestLauncherConfig::programCopies() {
  TestBase base;
  const QString first = generatorProgramPath(true);
  QCOMPARE(generatorProgramPath(false), first);
  const QString copy = generatorProgramPath(true);
  QVERIFY(isProgramCopy(first) && isProgramCopy(copy) && copy != first);
  QVERIFY(converterProgramPath(true) != viewerProgramPath(true));
  QCOMPARE(generatorProgramPath(false), copy);

  deployProgram(Program::Generator);
  QCOMPARE(QFileInfo(copy).size(), QFileInfo(BLOCKGEN_PATH).size());
  QProcess run; // the copy keeps its ".exe" name and runs
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
  QTest::newRow("own folders, own files")
      << QStringList{"buildings_texture/notes.txt", "tree_models/oak.ply", "tree_models/my.ply"}
      << QStringList{"buildings_texture", "buildings_texture/notes.txt", "tree_models",
                     "tree_models/my.ply", "tree_models/oak.ply"};
  QTest::newRow("folder that does not exist") << QStringList{"-"} << QStringList();
}

void TestLauncherConfig::deployModelsKeepsUserFiles() {
  QFETCH(QStringList, userFiles);
  QFETCH(QStringList, leftAfterRemoval);
  TestBase base;
  const QString folder = base.path("osm");
  if (userFiles == QStringList{"-"}) {
    deployModels(folder);
    QVERIFY(!QFileInfo::exists(folder)); // creates nothing
    return;
  }
  writeFile(folder + "/a.geojson", "{}");
  for (const QString &file : userFiles) writeFile(folder + "/" + file, "mine");

  deployModels(folder);
  const ResourceFiles resources;
  for (const QString &resource : resources.textures + resources.treeModels) {
    const QString name = (resources.textures.contains(resource) ? resources.textureFolder
                                                                : resources.treeModelFolder) +
                         "/" + QFileInfo(resource).fileName();
    const QByteArray bytes = readFile(folder + "/" + name);
    QVERIFY(!bytes.isEmpty());
    QCOMPARE(bytes == "mine", userFiles.contains(name)); // never overwritten
  }

  removeModels(folder);
  QStringList left;
  for (QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
       it.hasNext();) {
    left << QDir(folder).relativeFilePath(it.next());
  }
  left.removeOne("a.geojson");
  left.sort();
  QCOMPARE(left, leftAfterRemoval);
  for (const QString &file : userFiles) QCOMPARE(readFile(folder + "/" + file), QByteArray("mine"));
}

QTEST_MAIN(TestLauncherConfig)
#include "test_launcher_config.moc"
