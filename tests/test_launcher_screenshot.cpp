// A screenshot of the main window with its three panels, taken on a real X
// display (Xvfb) in the middle of a generator run, with the dark theme.

#include "launcher/clineedit.h"
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

bool near(QRgb pixel, QRgb colour, int tolerance) {
  return qAbs(qRed(pixel) - qRed(colour)) <= tolerance &&
         qAbs(qGreen(pixel) - qGreen(colour)) <= tolerance &&
         qAbs(qBlue(pixel) - qBlue(colour)) <= tolerance;
}

// Pixels of light or coloured text on the dark backgrounds.
int textPixels(const QImage &image, const QRect &area) {
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      const QRgb pixel = image.pixel(x, y);
      if (qMax(qRed(pixel), qMax(qGreen(pixel), qBlue(pixel))) > 150) ++count;
    }
  }
  return count;
}

QRect areaOf(QWidget *widget, QWidget *window) {
  return QRect(widget->mapTo(window, QPoint(0, 0)), widget->size());
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
  auto *clock = child<QStatusBar>(&window, "statusbar");
  QTRY_VERIFY_WITH_TIMEOUT(!clock->currentMessage().isEmpty(), 3000);

  // Eight copies of the sample town make a run long enough to look at.
  const QString input = copySampleTown(base.path("town"), 8);
  const QString scene = base.path("out/city.json");
  auto *generator = child<GenerateCity>(&window, "widgetGenerateCity");
  child<CLineEdit>(generator, "lineEditInput")->setText(input);
  child<CLineEdit>(generator, "lineEditOutput")->setText(scene);
  auto *converter = child<QWidget>(&window, "widgetConvertFormat");
  child<CLineEdit>(converter, "lineEditInput")->setText(scene);
  child<CLineEdit>(converter, "lineEditOutput")->setText(base.path("out/city.glb"));

  pauseChild(generator, true);
  click(generator, "buttonStart");
  QTRY_VERIFY_WITH_TIMEOUT(logText(generator).contains("load geojsons"), 20000);
  QVERIFY(generator->isRunning());
  QTest::qWait(300); // let the window repaint

  const QImage shot =
      window.screen()->grabWindow(window.winId()).toImage().convertToFormat(QImage::Format_RGB32);
  QDir().mkpath(QFileInfo(SCREENSHOT_PATH).path());
  QVERIFY(shot.save(SCREENSHOT_PATH));
  resumeChild(generator);

  QCOMPARE(shot.size(), window.size());
  // The dark theme: base and field colours cover most of the window.
  int dark = 0;
  for (int y = 0; y < shot.height(); ++y) {
    for (int x = 0; x < shot.width(); ++x) {
      const QRgb pixel = shot.pixel(x, y);
      if (near(pixel, qRgb(0x31, 0x36, 0x3b), 8) || near(pixel, qRgb(0x23, 0x26, 0x29), 8)) ++dark;
    }
  }
  QVERIFY2(dark > shot.width() * shot.height() * 6 / 10, qPrintable(QString::number(dark)));
  // Text in the generator's log and in each panel's Chinese title.
  QVERIFY(textPixels(shot, areaOf(child<QWidget>(generator, "textBrowserLog"), &window)) > 300);
  for (QWidget *panel : {static_cast<QWidget *>(generator), converter,
                         child<QWidget>(&window, "widgetDisplayScene")}) {
    QVERIFY(textPixels(shot, areaOf(child<QLabel>(panel, "labelTitle"), &window)) > 40);
  }

  QTRY_VERIFY_WITH_TIMEOUT(runEnded(generator), 30000);
  QVERIFY(logText(generator).contains("程序结束"));
}

QTEST_MAIN(TestLauncherScreenshot)
#include "test_launcher_screenshot.moc"
