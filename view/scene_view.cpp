#include "view/scene_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QWheelEvent>
#include <chrono>

#include "support/console.h"

SceneView::SceneView(QWidget* parent) : QOpenGLWidget(parent) { setFocusPolicy(Qt::StrongFocus); }

void SceneView::showList(draw_list& shown, const view_camera& first, const vec3f& sun) {
  list = &shown;
  start = camera = first;
  defaultSun = sun;
  update();
}

SceneView::~SceneView() {
  // The context outlives this part of the object (QOpenGLWidget destroys it
  // later), so its signal must no longer reach a SceneView slot.
  if (context()) disconnect(context(), nullptr, this, nullptr);
  releaseRenderer();
}

void SceneView::releaseRenderer() {
  if (!context()) return;
  makeCurrent();
  renderer.release();
  doneCurrent();
}

void SceneView::initializeGL() {
  // The renderer's objects belong to this context: free them before it goes.
  connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &SceneView::releaseRenderer,
          Qt::UniqueConnection);
}

void SceneView::paintGL() {
  if (!list) {
    // The scene is still loading: a plain sky.
    auto gl = context()->functions();
    gl->glClearColor(0.55f, 0.66f, 0.80f, 1);
    gl->glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    return;
  }
  if (!started) {
    started = true;
    auto error = QString{};
    renderer.setDefaultSun(defaultSun);
    if (!renderer.initialize(*list, error, false)) {
      emit failed(error);
      return;
    }
  }
  // Uploads for a fifth of a second, then draws what is there.
  if (renderer.uploading()) {
    if (title.isEmpty()) title = windowTitle();
    auto start = std::chrono::steady_clock::now();
    auto total = list->batches.size() + list->instanced.size();
    auto done = total;
    while (renderer.uploadNext(*list, camera_frame(camera).o)) {
      if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200)) break;
    }
    for (auto& batch : list->batches) done -= batch.indices.empty() ? 0 : 1;
    for (auto& group : list->instanced) done -= group.mesh.indices.empty() ? 0 : 1;
    print_progress("upload scene", (int)done, (int)total);
    if (renderer.uploading()) {
      setWindowTitle(QString("%1 (%2 %)").arg(title).arg(100 * done / std::max<size_t>(1, total)));
      update();
    } else {
      setWindowTitle(title);
    }
  }
  auto ratio = devicePixelRatioF();
  renderer.render(camera, (int)(width() * ratio), (int)(height() * ratio));
}

void SceneView::mousePressEvent(QMouseEvent* event) { lastPosition = event->pos(); }

void SceneView::mouseMoveEvent(QMouseEvent* event) {
  auto delta = event->pos() - lastPosition;
  lastPosition = event->pos();
  if (event->buttons() & Qt::LeftButton) {
    // A drag across the window's width turns the scene about half a turn.
    auto scale = 3.2f / std::max(1, width());
    orbit(camera, -delta.x() * scale, delta.y() * scale);
  } else if (event->buttons() & (Qt::RightButton | Qt::MiddleButton)) {
    auto scale = 1.0f / std::max(1, height());
    pan(camera, -delta.x() * scale, delta.y() * scale);
  } else {
    return;
  }
  update();
}

void SceneView::wheelEvent(QWheelEvent* event) {
  zoom(camera, event->angleDelta().y() / 120.0f);
  update();
}

void SceneView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Close) || event->matches(QKeySequence::Quit) ||
      (event->key() == Qt::Key_Q && event->modifiers() == Qt::ControlModifier)) {
    close();
    return;
  }
  if (event->key() == Qt::Key_F) {
    auto aspect = (float)width() / (float)std::max(1, height());
    if (list) camera = framing_camera(list->focus, camera.yfov, aspect);
  } else if (event->key() == Qt::Key_R) {
    camera = start;
  } else {
    QOpenGLWidget::keyPressEvent(event);
    return;
  }
  update();
}
