#pragma once
// The viewer's window: the scene in an OpenGL widget, turned with the left
// button, moved with the right or middle button, zoomed with the wheel;
// F frames the whole scene, R goes back to the first view, Ctrl+W or
// Ctrl+Q closes the window.

#include <QOpenGLWidget>
#include <QPoint>

#include "view/scene_renderer.h"

class SceneView : public QOpenGLWidget {
  Q_OBJECT

 public:
  // The list must live as long as the view; `start` is the first view.
  SceneView(const draw_list& list, const view_camera& start, const vec3f& defaultSun,
            QWidget* parent = nullptr);
  ~SceneView() override;

  void setLayerSeparation(bool on) { renderer.setLayerSeparation(on); }

 signals:
  // The renderer could not start (no OpenGL 3.3, shaders refused).
  void failed(const QString& message);

 protected:
  void initializeGL() override;
  void paintGL() override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void releaseRenderer();

  const draw_list& list;
  SceneRenderer    renderer;
  view_camera      start;
  view_camera      camera;
  vec3f            defaultSun;
  QPoint           lastPosition;
};
