#include "view/scene_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QWheelEvent>
#include <chrono>

#include "support/console.h"

SceneView::SceneView(QWidget* parent) : QOpenGLWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  connect(this, &QOpenGLWidget::frameSwapped, this, &SceneView::frameShown);
}

void SceneView::showList(draw_list& shown, const view_camera& first, const vec3f& sun) {
  list = &shown;
  start = camera = first;
  defaultSun = sun;
  update();
}

void SceneView::addList(draw_list& more) {
  if (!list) return;
  for (auto& batch : more.batches) list->batches.push_back(std::move(batch));
  for (auto& group : more.instanced) list->instanced.push_back(std::move(group));
  // The far picture comes with the last part.
  if (!more.far.albedo.empty()) list->far = std::move(more.far);
  list->triangles += more.triangles;
  list->instance_count += more.instance_count;
  list->warnings.insert(list->warnings.end(), more.warnings.begin(), more.warnings.end());
  more = draw_list{};
  added = true;
  update();
}

void SceneView::setComplete() {
  complete = true;
  update();
}

void SceneView::setLoadStatus(const QString& status) {
  if (title.isEmpty()) title = windowTitle();
  loadStatus = status;
  showTitle();
}

void SceneView::showTitle() {
  if (title.isEmpty()) title = windowTitle();
  auto notes = QStringList{};
  if (!loadStatus.isEmpty()) notes << loadStatus;
  if (uploadPercent >= 0) notes << QString("%1 %").arg(uploadPercent);
  setWindowTitle(notes.isEmpty() ? title : QString("%1 (%2)").arg(title, notes.join(", ")));
}

void SceneView::frameShown() {
  if (drewFirst && !shownFirst) {
    shownFirst = true;
    emit firstFrame(renderer.uploadedTriangles());
  }
  if (drewComplete && !shownComplete) {
    shownComplete = true;
    emit completeFrame(renderer.uploadedTriangles());
  }
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
  if (added) {
    renderer.queueAdded(*list);
    added = false;
  }
  // The renderer holds the far picture once it has it.
  if (renderer.hasFarImage()) list->far.albedo = {}, list->far.facing = {};
  // Uploads for a fifth of a second, then draws what is there.
  if (renderer.uploading()) {
    auto start = std::chrono::steady_clock::now();
    auto total = list->batches.size() + list->instanced.size();
    auto done = total;
    while (renderer.uploadNext(*list, camera_frame(camera).o)) {
      if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200)) break;
    }
    for (auto& batch : list->batches) done -= batch.indices.empty() ? 0 : 1;
    for (auto& group : list->instanced) done -= group.mesh.indices.empty() ? 0 : 1;
    // While the list is still being made its progress is shown instead.
    if (complete) print_progress("upload scene", (int)done, (int)total);
    uploadPercent = renderer.uploading() ? (int)(100 * done / std::max<size_t>(1, total)) : -1;
    showTitle();
    if (renderer.uploading()) update();
  }
  auto ratio = devicePixelRatioF();
  renderer.render(camera, (int)(width() * ratio), (int)(height() * ratio));
  drewFirst = renderer.uploadedTriangles() > 0;
  drewComplete = complete && !renderer.uploading();
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
