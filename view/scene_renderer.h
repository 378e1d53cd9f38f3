#pragma once
// Draws a draw list with OpenGL 3.3 core into the framebuffer bound at the
// time of the call: the backdrop (sky image or gradient), then every batch
// and instanced shape, flat shaded from face normals under one sun and a
// soft sky light.

#include <QOpenGLFunctions_3_3_Core>
#include <QString>
#include <vector>

#include "view/draw_list.h"
#include "view/view_camera.h"

class SceneRenderer : protected QOpenGLFunctions_3_3_Core {
 public:
  SceneRenderer() = default;
  SceneRenderer(const SceneRenderer&) = delete;
  SceneRenderer& operator=(const SceneRenderer&) = delete;

  // Compiles the shaders and uploads the list's geometry and images; the
  // context must be current. The list's arrays may be freed afterwards,
  // its textures' scene must not change meanwhile.
  bool initialize(const draw_list& list, QString& error);
  // Frees what initialize made; the same context must be current.
  void release();

  // The sun used when the list has none.
  void setDefaultSun(const vec3f& direction) { defaultSun = direction; }
  // Whether stacked flat layers are kept apart (on by default; off shows
  // them as a general-purpose viewer would, for comparison).
  void setLayerSeparation(bool on) { separateLayers = on; }
  // Draws one frame of `width` x `height` pixels and returns the number
  // of draw calls it took.
  int render(const view_camera& camera, int width, int height);

  size_t triangles() const { return triangleCount; }

 private:
  struct GpuMesh {
    GLuint  vertexArray  = 0;
    GLuint  buffers[4]   = {0, 0, 0, 0};  // positions, texcoords, indices, frames
    GLsizei indexCount   = 0;
    GLsizei instances    = 1;
    bool    hasTexcoords = false;  // else the attribute reads (0, 0)
    int     look         = 0;
    int     layer        = 0;
    float   height       = 0;
    std::vector<draw_range> ranges;  // baked meshes: runs of indices by tile
  };

  GpuMesh upload(const draw_mesh& mesh, const std::vector<frame3f>* frames);
  GLuint  compile(const char* vertex, const char* fragment, QString& error);
  GLuint  uploadImage(const scene_texture& texture);
  // Draws the runs of a baked mesh that the view sees, in one call.
  bool drawVisible(const GpuMesh& mesh, const double planes[6][4]);

  bool                   ready = false;
  GLuint                 sceneProgram = 0, backdropProgram = 0, emptyArray = 0, skyTexture = 0;
  std::vector<GLuint>    textures;
  std::vector<draw_look> looks;
  std::vector<GpuMesh>   meshes;
  bbox3f                 bounds;
  bool                   hasSun = false;
  vec3f                  sunDirection = {0, 1, 0}, sunColor = {1, 1, 1}, defaultSun = {0, 1, 0};
  vec3f                  skyAmbient, groundAmbient;
  frame3f                skyFrame;
  float                  skyExposure = 1;
  size_t                 triangleCount = 0;
  float                  maxAnisotropy = 0;
  std::vector<GLsizei>     runCounts;
  std::vector<const void*> runOffsets;
  bool                   separateLayers = true;
};
