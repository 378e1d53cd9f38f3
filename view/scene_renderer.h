#pragma once
// Draws a draw list with OpenGL 3.3 core into the framebuffer bound at the
// time of the call: the runs of every batch that the view sees, each at the
// detail its distance needs, and the instanced shapes, flat shaded from face
// normals under one sun, with the sun's shadows from a shadow map fitted to
// the view, and a soft sky light; then the backdrop (sky image or gradient)
// on the pixels they left. A software renderer spends most of a frame
// shading pixels: each one is shaded by the backdrop or the scene, not both.

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

  // Compiles the shaders and uploads the list's images, and its geometry
  // unless `geometry` is false (then call uploadNext until it is done); the
  // context must be current. The list's arrays may be freed once uploaded
  // (release_geometry), its textures' scene must not change meanwhile.
  bool initialize(const draw_list& list, QString& error, bool geometry = true);
  // Uploads the batch or instanced shape of the list that lies nearest to
  // `eye` among those not uploaded yet, and frees its arrays in the list;
  // false when everything is uploaded.
  bool uploadNext(draw_list& list, const vec3f& eye);
  bool uploading() const { return uploaded < pending; }
  // Queues for uploadNext the batches and instanced shapes added at the
  // ends of the list's arrays since initialize or the last call, and takes
  // the list's far picture if it has come; the context must be current.
  void queueAdded(const draw_list& list);
  // Whether the far picture is on the graphics card (the list's copy may
  // then be freed).
  bool hasFarImage() const { return farMesh.vertexArray != 0; }
  // Triangles of the full meshes uploaded so far.
  size_t uploadedTriangles() const { return uploadedTriangleCount; }
  // Frees what initialize made; the same context must be current.
  void release();

  // The sun used when the list has none.
  void setDefaultSun(const vec3f& direction) { defaultSun = direction; }
  // Whether stacked flat layers are kept apart (on by default; off shows
  // them as a general-purpose viewer would, for comparison).
  void setLayerSeparation(bool on) { separateLayers = on; }
  // How many pixels a coarser level of detail may stray from the full
  // mesh where it is drawn (0: the full meshes everywhere).
  void setDetailPixels(float pixels) { detailPixels = pixels; }
  // Whether the sun casts shadows (on by default).
  void setShadows(bool on) { shadows = on; }
  // Draws one frame of `width` x `height` pixels and returns the number
  // of draw calls it took.
  int render(const view_camera& camera, int width, int height);

  // Triangles of the full meshes, and those the last frame drew (in the
  // view and in the shadow map).
  size_t triangles() const { return triangleCount; }
  size_t drawnTriangles() const { return drawn; }
  size_t shadowTriangles() const { return drawnInShadow; }

 private:
  struct GpuMesh {
    GLuint  vertexArray  = 0;
    GLuint  buffers[4]   = {0, 0, 0, 0};  // positions, texcoords, indices, frames
    GLsizei indexCount   = 0;
    GLenum  indexType    = GL_UNSIGNED_INT;
    GLsizei instances    = 1;
    bool    hasTexcoords = false;  // else the attribute reads (0, 0)
    int     look         = 0;
    int     layer        = 0;
    float   height       = 0;
    bbox3f  bounds;
    std::vector<draw_range> ranges;  // baked meshes: runs by tile
    // Blocks of 4 x 4 tiles: their runs' coarsest levels as one index list
    // (32 bits, from the batch's first vertex) in `blockArray`, drawn in
    // one go where the whole block is small on screen.
    struct Block {
      bbox3f bounds;
      size_t first = 0, count = 0;            // into the block indices
      std::vector<size_t> runs;               // into `ranges`
    };
    std::vector<Block> blocks;
    GLuint blockArray = 0, blockIndices = 0;
    float  blockTiles = 1;  // tiles along a block's side
    // Instanced shapes: the runs of frames by tile, the shape's levels.
    std::vector<draw_instance_run> instanceRuns;
    int        levelCount = 1;
    draw_level levels[max_levels] = {};
  };
  struct FrameState;
  // What one pass draws of one mesh, found by culling once: the runs of a
  // baked mesh (one multi-draw), its far blocks (another), or the spans of
  // an instanced shape's frames at one level each.
  struct InstanceSpan {
    size_t first = 0, count = 0;
    int    level = 0;
  };
  struct MeshDraws {
    size_t mesh = 0;
    size_t runs = 0, runCount = 0;      // into runCounts, runOffsets, runBases
    size_t blocks = 0, blockCount = 0;  // into blockCounts, blockOffsets
    size_t spans = 0, spanCount = 0;    // into spans
  };
  enum class Pass { view, shadow };

  GpuMesh makeMesh(const std::vector<vec3f>& positions, const std::vector<vec2f>& texcoords,
                   const void* indices, size_t indexCount, GLenum indexType,
                   const std::vector<frame3f>* frames);
  void    addBatch(const draw_batch& batch, int tileGrid);
  void    addInstanced(const draw_instances& group);
  GLuint  compile(const char* vertex, const char* fragment, QString& error);
  GLuint  uploadImage(const scene_texture& texture);
  bool    makeShadowMap();
  void    drawBackdrop(const frame3f& eye, float yfov, float aspect);
  // Finds what the frustum holds of every mesh (the runs of baked ones at
  // the detail seen from the eye; in the shadow pass without the runs
  // small on screen); adds the triangles to `count`. Blocks of tiles are
  // tested before their runs, so a far part of the city costs one test.
  void    collectDraws(const FrameState& frame, const view_frustum& frustum, Pass pass,
                       size_t& count);
  void    collectInstanced(const GpuMesh& mesh, const FrameState& frame,
                           const view_frustum& frustum, Pass pass, size_t& count);
  // The far picture: its images and a quad per tile that has surfaces.
  void    addFarImage(const draw_list& list);
  // Which tiles this frame draws from the far picture: those small on
  // screen, seen from `eye`.
  void    chooseFarTiles(const FrameState& frame);
  void    releaseFarImage();
  // What the far picture does for a box this frame: nothing (it reaches
  // past the picture's plan or into a tile without surfaces there: it is
  // drawn as before the picture, small ones at their coarsest level), or
  // it holds the box, drawn as meshes at the level their error allows, or
  // from afar where every tile it reaches is.
  enum class FarCover { none, near, far };
  FarCover farCover(const bbox3f& box) const;
  // Draws the far tiles' quads in the frustum; returns the draw calls.
  int     drawFarTiles(const FrameState& frame, const view_frustum& frustum);
  // Draws what collectDraws found; with `shaded` each mesh's look is set.
  int     submitDraws(const FrameState& frame, bool shaded);
  // False when nothing casts a shadow: then there is no map to look up.
  bool    renderShadowMap(const FrameState& frame, const shadow_view& light);

  bool                   ready = false;
  GLuint                 sceneProgram = 0, farProgram = 0, backdropProgram = 0, depthProgram = 0,
                         emptyArray = 0,
                         skyTexture = 0, shadowTexture = 0, shadowFramebuffer = 0;
  std::vector<GLuint>    textures;
  std::vector<draw_look> looks;
  std::vector<GpuMesh>   meshes;
  // Batches and instanced groups of the list not uploaded yet (indices
  // into its arrays), and how many of each the queue has taken.
  struct Waiting {
    bool   instanced = false;
    size_t index     = 0;
  };
  // The triangles of the item's full meshes (of all its instances).
  static size_t fullTriangles(const draw_list& list, const Waiting& item);
  std::vector<Waiting>   waiting;
  size_t                 uploaded = 0, pending = 0;
  size_t                 queuedBatches = 0, queuedGroups = 0, uploadedTriangleCount = 0;
  bbox3f                 bounds;
  bbox3f                 casters;  // what casts shadows: the bounds without a flat backdrop
  bool                   hasSun = false;
  vec3f                  sunDirection = {0, 1, 0}, sunColor = {1, 1, 1}, defaultSun = {0, 1, 0};
  vec3f                  skyAmbient, groundAmbient;
  frame3f                skyFrame;
  float                  skyExposure = 1;
  size_t                 triangleCount = 0, drawn = 0, drawnInShadow = 0;
  float                  maxAnisotropy = 0;
  int                    shadowSize = 2048;
  std::vector<GLsizei>     runCounts;
  std::vector<const void*> runOffsets;
  std::vector<GLint>       runBases;
  std::vector<GLsizei>     blockCounts;
  std::vector<const void*> blockOffsets;
  std::vector<InstanceSpan> spans;
  std::vector<MeshDraws>    draws;
  // The far picture: colour and facing images, its quads (six indices a
  // tile, `farQuad` their place, -1 for a tile without surfaces), each
  // tile's box, and the tiles drawn from it this frame.
  GLuint                   farAlbedo = 0, farFacing = 0;
  GpuMesh                  farMesh;
  std::vector<int>         farQuad;
  std::vector<bbox3f>      farBoxes;
  std::vector<char>        farNow;
  bbox3f                   farPlan;
  int                      farGrid = 0;
  std::vector<GLsizei>     farCounts;
  std::vector<const void*> farOffsets;
  bool                   separateLayers = true, shadows = true;
  float                  detailPixels = 2;
};
