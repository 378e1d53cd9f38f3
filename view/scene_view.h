#pragma once
// The viewer's window: the scene in an OpenGL widget, turned with the left
// button, moved with the right or middle button, zoomed with the wheel;
// F frames the whole scene, R goes back to the first view, Ctrl+W or
// Ctrl+Q closes the window. The scene may come after the window opens
// (loaded on a worker thread meanwhile). The geometry goes to the graphics card a batch
// at a time between frames, the nearest first, so that the window answers
// while a big city is uploaded; the title shows how far it is.

#include <QOpenGLWidget>
#include <QPoint>

#include "view/scene_renderer.h"

class SceneView : public QOpenGLWidget {
  Q_OBJECT

 public:
  // Shows the backdrop until showList gives it the scene.
  explicit SceneView(QWidget* parent = nullptr);
  ~SceneView() override;

  // The list must live as long as the view; its geometry is freed as it
  // is uploaded. `start` is the first view.
  void showList(draw_list& list, const view_camera& start, const vec3f& defaultSun);
  // More of the scene, after showList: the batches and instanced shapes of
  // `more` are moved into the shown list and uploaded after what is there.
  void addList(draw_list& more);
  // Every part of the scene is given: the frame that holds it all is the
  // scene's complete frame.
  void setComplete();
  // What the loading is doing, shown in the title beside the upload's share;
  // empty once it is done.
  void setLoadStatus(const QString& status);

  void setLayerSeparation(bool on) { renderer.setLayerSeparation(on); }
  void setShadows(bool on) { renderer.setShadows(on); }
  void setDetailPixels(float pixels) { renderer.setDetailPixels(pixels); }

 signals:
  // The renderer could not start (no OpenGL 3.3, shaders refused).
  void failed(const QString& message);
  // The first frame with geometry is on screen, holding this many triangles.
  void firstFrame(qulonglong triangles);
  // The first frame that holds the whole scene is on screen.
  void completeFrame(qulonglong triangles);

 protected:
  void initializeGL() override;
  void paintGL() override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void releaseRenderer();
  void showTitle();
  void frameShown();

  draw_list*       list = nullptr;
  bool             started = false;  // the renderer holds the list
  bool             added = false;    // parts added that the renderer has not queued
  bool             complete = false;  // every part is given
  // Which of the frames above the last one drawn is, and which were shown.
  bool             drewFirst = false, drewComplete = false, shownFirst = false, shownComplete = false;
  QString          title, loadStatus;
  int              uploadPercent = -1;  // while uploading
  SceneRenderer    renderer;
  view_camera      start;
  view_camera      camera;
  vec3f            defaultSun;
  QPoint           lastPosition;
};
