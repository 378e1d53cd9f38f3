// A screenshot of the main window with its three panels, on a real X
// display (Xvfb), in the middle of a generator run, with the dark theme.

#include "launcher/generatecity.h"
#include "launcher/mainwindow.h"
#include "launcher/startup.h"
#include "test_launcher_util.h"

#include <QAction>
#include <QFontDatabase>
#include <QLabel>
#include <QScreen>
#include <QStatusBar>

namespace {

// Pixels of one of the theme's two dark colours, or (dark = false) of
// light or coloured text, in an area of the image.
int countPixels(const QImage &image, const QRect &area, bool dark) {
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      const auto near = [&](int r, int g, int b) {
        return qAbs(c.red() - r) <= 8 && qAbs(c.green() - g) <= 8 && qAbs(c.blue() - b) <= 8;
      };
      if (dark ? near(0x31, 0x36, 0x3b) || near(0x23, 0x26, 0x29)
               : qMax(c.red(), qMax(c.green(), c.blue())) > 150) {
        ++count;
      }
    }
  }
  return count;
}

} // namespace

class TestLauncherScreenshot : public QObject {
  Q_OBJECT

private slots:
  void mainWindowDuringGeneratorRun();
};

void TestLauncherScreenshot::mainWindowDuringGeneratorRun() {
  QVERIFY2(!QFontDatabase().families(QFontDatabase::SimplifiedChinese).isEmpty(),
           "no font with Chinese glyphs is installed (scripts/setup.sh installs one)");
  TestBase base;
  QVERIFY(installStyleSheet(*qApp));
  MainWindow window;
  window.resize(1580, 820);
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  child<QAction>(&window, "actionShowConverFormat")->trigger();
  child<QAction>(&window, "actionShowDisplayScene")->trigger();
  QTRY_VERIFY_WITH_TIMEOUT(!child<QStatusBar>(&window, "statusbar")->currentMessage().isEmpty(), 3000);

  // Eight copies of the sample town make a run long enough to look at.
  const QString scene = base.path("out/city.json");
  auto *generator = child<GenerateCity>(&window, "widgetGenerateCity");
  setPaths(generator, copySampleTown(base.path("town"), 8), scene);
  setPaths(child(&window, "widgetConvertFormat"), scene, base.path("out/city.glb"));
  pauseChild(generator, true);
  click(generator, "buttonStart");
  QTRY_VERIFY_WITH_TIMEOUT(logText(generator).contains("load geojsons"), 20000);
  QVERIFY(generator->isRunning());
  QTest::qWait(300); // let the window repaint
  const QImage shot = window.screen()->grabWindow(window.winId()).toImage();
  QDir().mkpath(QFileInfo(SCREENSHOT_PATH).path());
  QVERIFY(shot.save(SCREENSHOT_PATH));
  resumeChild(generator);

  QCOMPARE(shot.size(), window.size());
  const int dark = countPixels(shot, shot.rect(), true);
  QVERIFY2(dark > shot.width() * shot.height() * 6 / 10, qPrintable(QString::number(dark)));
  const auto area = [&](QWidget *widget) { return QRect(widget->mapTo(&window, QPoint()), widget->size()); };
  QVERIFY(countPixels(shot, area(child(generator, "textBrowserLog")), false) > 300);
  for (const char *panel : {"widgetGenerateCity", "widgetConvertFormat", "widgetDisplayScene"}) {
    QVERIFY(countPixels(shot, area(child(child(&window, panel), "labelTitle")), false) > 40);
  }
  QTRY_VERIFY_WITH_TIMEOUT(runEnded(generator), 30000);
  QVERIFY(logText(generator).contains("程序结束"));
}

QTEST_MAIN(TestLauncherScreenshot)
#include "test_launcher_screenshot.moc"
