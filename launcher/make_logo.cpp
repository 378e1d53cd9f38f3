// Draws the launcher's window icon: a small skyline of blocks on the dark
// theme's base colour, in the accent blue. Run by the build; the picture
// is never committed.
//
//   make_logo OUTPUT.png

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_logo OUTPUT.png\n");
    return 1;
  }
  const QString output = QString::fromLocal8Bit(argv[1]);
  const int size = 256;
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);

  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor("#31363b"));
  painter.drawRoundedRect(QRectF(8, 8, size - 16, size - 16), 40, 40);

  // Blocks of different heights standing on one ground line, each with a
  // lighter lit face so the skyline reads as three-dimensional.
  struct Block {
    int x, width, height;
  };
  const Block blocks[] = {{40, 36, 90}, {80, 44, 150}, {128, 34, 110}, {166, 50, 170}};
  const int ground = 210;
  for (const Block &block : blocks) {
    painter.setBrush(QColor("#448aff"));
    painter.drawRect(block.x, ground - block.height, block.width, block.height);
    painter.setBrush(QColor("#82b1ff"));
    painter.drawRect(block.x, ground - block.height, block.width / 3, block.height);
    // Rows of windows.
    painter.setBrush(QColor("#31363b"));
    for (int y = ground - block.height + 12; y < ground - 16; y += 22) {
      painter.drawRect(block.x + block.width / 2, y, block.width / 4, 8);
    }
  }
  painter.setBrush(QColor("#ffffff"));
  painter.drawRect(28, ground, size - 56, 6);
  painter.end();

  QDir().mkpath(QFileInfo(output).path());
  if (!image.save(output, "PNG")) {
    std::fprintf(stderr, "%s: write error\n", argv[1]);
    return 1;
  }
  return 0;
}
