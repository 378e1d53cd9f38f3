// The path field's drops and the log's Ctrl+wheel zoom.

#include "launcher/clineedit.h"
#include "launcher/ctextbrowser.h"
#include "test_launcher_util.h"

#include <QMimeData>
#include <QScrollBar>

class TestLauncherWidgets : public QObject {
  Q_OBJECT

private slots:
  void drop_data();
  void drop();
  void wheel();
};

void TestLauncherWidgets::drop_data() {
  QTest::addColumn<bool>("fileMode");
  QTest::addColumn<QStringList>("urls"); // "" stands for a drop of plain text
  QTest::addColumn<QString>("expected");
  // DIR is a folder, FILE a GeoJSON file in it, OTHER another file.
  QTest::newRow("folder on directory field") << false << QStringList{"DIR"} << "DIR";
  QTest::newRow("file on directory field gives its folder") << false << QStringList{"FILE"} << "DIR";
  QTest::newRow("file on file field") << true << QStringList{"FILE"} << "FILE";
  QTest::newRow("three files: the first counts") << true << QStringList{"OTHER", "FILE", "DIR"}
                                                  << "OTHER";
  QTest::newRow("web link on file field") << true << QStringList{"https://example.org/a.json"} << "";
  QTest::newRow("web link on directory field") << false << QStringList{"https://example.org/"} << "";
  QTest::newRow("plain text changes nothing") << true << QStringList{""} << "before";
}

void TestLauncherWidgets::drop() {
  QFETCH(bool, fileMode);
  QFETCH(QStringList, urls);
  QFETCH(QString, expected);
  QTemporaryDir temp;
  const QString dir = temp.path() + "/地图 osm";
  writeFile(dir + "/a.geojson", "{}");
  writeFile(dir + "/b.txt", "b");
  auto place = [&](QString text) {
    return text.replace("DIR", dir).replace("FILE", dir + "/a.geojson").replace("OTHER", dir + "/b.txt");
  };

  CLineEdit edit("before");
  edit.setFileMode(fileMode);
  QMimeData mime;
  if (urls == QStringList{""}) {
    mime.setText("/some/path");
  } else {
    QList<QUrl> list;
    for (const QString &url : urls) {
      list << (url.startsWith("http") ? QUrl(url) : QUrl::fromLocalFile(place(url)));
    }
    mime.setUrls(list);
  }
  // A drop goes to the widget that accepted the drag's entry.
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  enter.setDropAction(Qt::IgnoreAction);
  QApplication::sendEvent(&edit, &enter);
  QVERIFY(edit.acceptDrops() && enter.isAccepted()); // whatever the data
  QCOMPARE(enter.dropAction(), Qt::CopyAction);
  QDropEvent event(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&edit, &event);
  QCOMPARE(edit.text(), place(expected));
}

// Ctrl is taken from the application's keyboard state, as a real wheel
// turn sees it: a key event sets it.
static void wheel(CTextBrowser &log, int delta, Qt::KeyboardModifiers modifiers) {
  QTest::keyPress(&log, Qt::Key_Shift, modifiers);
  QWheelEvent event(QPointF(20, 20), log.mapToGlobal(QPoint(20, 20)), QPoint(), QPoint(0, delta),
                    Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
  QApplication::sendEvent(log.viewport(), &event);
  QTest::keyRelease(&log, Qt::Key_Shift, Qt::NoModifier);
}

void TestLauncherWidgets::wheel() {
  CTextBrowser log;
  log.resize(300, 200);
  log.setPlainText(QString("line\n").repeated(500));
  log.show();
  QVERIFY(QTest::qWaitForWindowExposed(&log));
  const int start = QFontInfo(log.font()).pixelSize();
  for (int delta : {120, 120, -120}) ::wheel(log, delta, Qt::ControlModifier);
  QCOMPARE(log.font().pixelSize(), start + 1);
  QCOMPARE(log.verticalScrollBar()->value(), 0);
  // Any other combination is not a zoom: the view scrolls.
  ::wheel(log, -120, Qt::ControlModifier | Qt::ShiftModifier);
  ::wheel(log, -120, Qt::NoModifier);
  QCOMPARE(log.font().pixelSize(), start + 1);
  QVERIFY(log.verticalScrollBar()->value() > 0);
}

QTEST_MAIN(TestLauncherWidgets)
#include "test_launcher_widgets.moc"
