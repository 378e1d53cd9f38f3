#include "view/scene_renderer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "scene/image.h"

namespace {

const char* sceneVertexShader = R"(#version 330 core
layout(location = 0) in vec3 position;
layout(location = 1) in vec2 texcoord;
// The instance frame as three rows of a 3 x 4 matrix; baked geometry
// leaves the arrays off and gets the identity.
layout(location = 2) in vec4 row0;
layout(location = 3) in vec4 row1;
layout(location = 4) in vec4 row2;
uniform mat4 view;
uniform mat4 projection;
uniform float layerScale;
out vec3 worldPosition;
out vec2 uv;
void main() {
  vec4 p = vec4(position, 1.0);
  worldPosition = vec3(dot(row0, p), dot(row1, p), dot(row2, p));
  uv = texcoord;
  vec4 v = view * vec4(worldPosition, 1.0);
  // Scaling towards the eye keeps the pixel and lowers the depth: higher
  // layers of a stack of flat meshes win the depth test.
  v.xyz *= layerScale;
  gl_Position = projection * v;
}
)";

// Compiled twice: for the meshes, and with FAR_IMAGE defined for the far
// tiles' quads, whose colour and facing come from the picture of the city
// seen from above (a branch on a uniform would cost every pixel of a
// software renderer the picture's look-ups).
const char* sceneFragmentShader = R"(
in vec3 worldPosition;
in vec2 uv;
uniform vec3 eye;
uniform vec3 color;
uniform vec3 emission;
uniform bool textured;
uniform sampler2D image;  // for a far tile the picture's colour
#ifdef FAR_IMAGE
uniform sampler2D facingImage;
#endif
uniform vec3 sunDirection;
uniform vec3 sunColor;
uniform vec3 skyAmbient;
uniform vec3 groundAmbient;
// The sun's shadow map: world to its clip space; points are looked up a
// few texels out along their face normal and a little towards the sun, so
// that no surface shadows itself (flat layers millimetres apart included).
uniform bool shadowed;
uniform sampler2DShadow shadowMap;
uniform mat4 lightClip;
uniform float normalOffset;
uniform float depthBias;
out vec4 fragColor;
vec3 encodeSrgb(vec3 c) {
  c = clamp(c, 0.0, 1.0);
  return mix(c * 12.92, 1.055 * pow(c, vec3(1.0 / 2.4)) - 0.055, step(0.0031308, c));
}
// The share of the sun that reaches the point: four filtered taps.
float sunShare(vec3 n) {
  vec4 s = lightClip * vec4(worldPosition + n * normalOffset, 1.0);
  vec3 p = s.xyz * 0.5 + 0.5;
  if (p.x <= 0.0 || p.x >= 1.0 || p.y <= 0.0 || p.y >= 1.0 || p.z >= 1.0) return 1.0;
  vec2 texel = 1.0 / vec2(textureSize(shadowMap, 0));
  float lit = 0.0;
  for (int k = 0; k < 4; k++) {
    vec2 o = (vec2(k & 1, k >> 1) - 0.5) * texel;
    lit += texture(shadowMap, vec3(p.xy + o, p.z - depthBias));
  }
  return lit * 0.25;
}
void main() {
#ifdef FAR_IMAGE
  vec4 seen = texture(image, uv);
  if (seen.a < 0.5) discard;
  vec3 albedo = seen.rgb / seen.a;
  vec3 n = texture(facingImage, uv).xyz * 2.0 - 1.0;
  n = length(n) > 0.0 ? normalize(n) : vec3(0.0, 1.0, 0.0);
#else
  // The face normal from the screen-space derivatives of the position,
  // turned towards the eye: flat shading without normals in the buffers.
  vec3 n = cross(dFdx(worldPosition), dFdy(worldPosition));
  float len = length(n);
  n = len > 0.0 ? n / len : vec3(0.0, 1.0, 0.0);
  if (dot(n, eye - worldPosition) < 0.0) n = -n;
  vec3 albedo = color;
  if (textured) albedo *= texture(image, uv).rgb;
#endif
  float sun = max(dot(n, sunDirection), 0.0);
  if (shadowed && sun > 0.0) sun *= sunShare(n);
  vec3 ambient = mix(groundAmbient, skyAmbient, 0.5 + 0.5 * n.y);
  fragColor = vec4(encodeSrgb(albedo * (sunColor * (0.7 * sun) + ambient) + emission), 1.0);
}
)";

// The shadow map's pass: depth alone, from the sun.
const char* depthVertexShader = R"(#version 330 core
layout(location = 0) in vec3 position;
layout(location = 2) in vec4 row0;
layout(location = 3) in vec4 row1;
layout(location = 4) in vec4 row2;
uniform mat4 lightClip;
void main() {
  vec4 p = vec4(position, 1.0);
  gl_Position = lightClip * vec4(dot(row0, p), dot(row1, p), dot(row2, p), 1.0);
}
)";

const char* depthFragmentShader = R"(#version 330 core
void main() {}
)";

const char* backdropVertexShader = R"(#version 330 core
out vec2 ndc;
void main() {
  // One triangle that covers the screen.
  vec2 p = vec2(gl_VertexID == 1 ? 3.0 : -1.0, gl_VertexID == 2 ? 3.0 : -1.0);
  ndc = p;
  gl_Position = vec4(p, 1.0, 1.0);
}
)";

const char* backdropFragmentShader = R"(#version 330 core
in vec2 ndc;
uniform vec3 right;
uniform vec3 up;
uniform vec3 back;
uniform vec2 halfExtent;
uniform bool hasSky;
uniform sampler2D sky;
uniform mat3 worldToSky;
uniform float exposure;
out vec4 fragColor;
vec3 encodeSrgb(vec3 c) {
  c = clamp(c, 0.0, 1.0);
  return mix(c * 12.92, 1.055 * pow(c, vec3(1.0 / 2.4)) - 0.055, step(0.0031308, c));
}
void main() {
  vec3 dir = normalize(-back + right * (ndc.x * halfExtent.x) + up * (ndc.y * halfExtent.y));
  // Below the horizon a haze fading into a plain ground.
  vec3 ground = mix(vec3(0.42, 0.42, 0.40), vec3(0.20, 0.19, 0.18), pow(max(-dir.y, 0.0), 0.55));
  vec3 c;
  if (hasSky) {
    // Latitude-longitude: v from the zenith down, u from +x towards +z.
    vec3 l = worldToSky * dir;
    float phi = atan(l.z, l.x);
    if (phi < 0.0) phi += 6.28318530718;
    float u = phi / 6.28318530718;
    // The image's lower half is a ground we do not show: the sky ends at
    // the centre of its last row and fades into the haze below it.
    float last = 0.5 - 0.5 / float(textureSize(sky, 0).y);
    if (l.y >= 0.0) {
      float theta = acos(clamp(l.y, -1.0, 1.0));
      c = textureLod(sky, vec2(u, min(theta / 3.14159265359, last)), 0.0).rgb * exposure;
    } else {
      vec3 horizon = textureLod(sky, vec2(u, last), 0.0).rgb * exposure;
      c = mix(horizon, ground, smoothstep(0.0, 0.25, -l.y));
    }
  } else if (dir.y >= 0.0) {
    c = mix(vec3(0.62, 0.72, 0.85), vec3(0.16, 0.32, 0.66), pow(dir.y, 0.55));
  } else {
    c = mix(vec3(0.62, 0.72, 0.85), ground, smoothstep(0.0, 0.25, -dir.y));
  }
  fragColor = vec4(encodeSrgb(c), 1.0);
}
)";

void setMatrix(QOpenGLFunctions_3_3_Core* gl, GLint location, const mat4d& m) {
  GLfloat values[16];
  for (int i = 0; i < 16; i++) values[i] = (GLfloat)m.m[i];
  gl->glUniformMatrix4fv(location, 1, GL_FALSE, values);
}

void expand(bbox3f& box, const bbox3f& other) {
  box.min = {std::min(box.min.x, other.min.x), std::min(box.min.y, other.min.y),
             std::min(box.min.z, other.min.z)};
  box.max = {std::max(box.max.x, other.max.x), std::max(box.max.y, other.max.y),
             std::max(box.max.z, other.max.z)};
}

// The layers on the ground lie within this share of the scene's size of
// its lowest point: the exports lift them by up to 16 steps of 1e-4.
constexpr float groundTolerance = 2e-3f;
// A far tile's quad lies on the ground stack, pulled towards the eye by
// one rank more than the highest flat layer.
constexpr float farLayer = 16;

void setVector(QOpenGLFunctions_3_3_Core* gl, GLint location, const vec3f& v) {
  gl->glUniform3f(location, v.x, v.y, v.z);
}

}  // namespace

// What one frame's passes share.
struct SceneRenderer::FrameState {
  frame3f eye;
  float   pixelsPerUnit = 1;  // for the levels of detail
  float   step = 0;           // one layer rank's pull
  float   pixels = 2;         // the error a level may show, this pass
  bool    shadowPass = false;
  GLint   colorAt = -1, emissionAt = -1, texturedAt = -1, layerAt = -1;
};

GLuint SceneRenderer::compile(const char* vertex, const char* fragment, QString& error) {
  auto stage = [&](GLenum kind, const char* source) -> GLuint {
    auto shader = glCreateShader(kind);
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    GLint ok = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (!ok) {
      char log[2048] = {};
      glGetShaderInfoLog(shader, sizeof(log) - 1, nullptr, log);
      error = QString("shader compilation failed: %1").arg(QString(log).simplified());
      glDeleteShader(shader);
      return 0;
    }
    return shader;
  };
  auto vs = stage(GL_VERTEX_SHADER, vertex);
  if (!vs) return 0;
  auto fs = stage(GL_FRAGMENT_SHADER, fragment);
  if (!fs) {
    glDeleteShader(vs);
    return 0;
  }
  auto program = glCreateProgram();
  glAttachShader(program, vs);
  glAttachShader(program, fs);
  glLinkProgram(program);
  glDeleteShader(vs);
  glDeleteShader(fs);
  GLint ok = 0;
  glGetProgramiv(program, GL_LINK_STATUS, &ok);
  if (!ok) {
    char log[2048] = {};
    glGetProgramInfoLog(program, sizeof(log) - 1, nullptr, log);
    error = QString("shader linking failed: %1").arg(QString(log).simplified());
    glDeleteProgram(program);
    return 0;
  }
  return program;
}

GLuint SceneRenderer::uploadImage(const scene_texture& texture) {
  // Colour images are kept as 8-bit sRGB, float ones converted once.
  auto converted = image4b{};
  auto* image = &texture.ldr;
  if (!texture.hdr.pixels.empty()) {
    converted = linear_to_srgb(texture.hdr);
    image = &converted;
  }
  GLint limit = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &limit);
  // Halve an image the driver cannot hold until it fits.
  auto reduced = image4b{};
  while (limit > 0 && (image->width > limit || image->height > limit)) {
    auto w = std::max(1, image->width / 2), h = std::max(1, image->height / 2);
    auto half = image4b{w, h, std::vector<vec4b>((size_t)w * h)};
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) half.pixels[(size_t)y * w + x] = image->pixels[(size_t)(2 * y) * image->width + 2 * x];
    reduced = std::move(half);
    image = &reduced;
  }
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_SRGB8_ALPHA8, image->width, image->height, 0, GL_RGBA,
               GL_UNSIGNED_BYTE, image->pixels.data());
  glGenerateMipmap(GL_TEXTURE_2D);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
  // Walls seen at a grazing angle stay sharp with anisotropic filtering.
  if (maxAnisotropy > 1) glTexParameterf(GL_TEXTURE_2D, 0x84FE, std::min(maxAnisotropy, 8.0f));
  return name;
}

SceneRenderer::GpuMesh SceneRenderer::makeMesh(const std::vector<vec3f>& positions,
                                               const std::vector<vec2f>& texcoords,
                                               const void* indices, size_t indexCount,
                                               GLenum indexType, const std::vector<frame3f>* frames) {
  auto gpu = GpuMesh{};
  glGenVertexArrays(1, &gpu.vertexArray);
  glBindVertexArray(gpu.vertexArray);
  glGenBuffers(4, gpu.buffers);

  glBindBuffer(GL_ARRAY_BUFFER, gpu.buffers[0]);
  glBufferData(GL_ARRAY_BUFFER, (GLsizeiptr)(positions.size() * sizeof(vec3f)), positions.data(),
               GL_STATIC_DRAW);
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, sizeof(vec3f), nullptr);

  gpu.hasTexcoords = !texcoords.empty();
  if (gpu.hasTexcoords) {
    glBindBuffer(GL_ARRAY_BUFFER, gpu.buffers[1]);
    glBufferData(GL_ARRAY_BUFFER, (GLsizeiptr)(texcoords.size() * sizeof(vec2f)), texcoords.data(),
                 GL_STATIC_DRAW);
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, sizeof(vec2f), nullptr);
  }

  auto indexSize = indexType == GL_UNSIGNED_SHORT ? 2 : 4;
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, gpu.buffers[2]);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, (GLsizeiptr)(indexCount * indexSize), indices, GL_STATIC_DRAW);
  gpu.indexCount = (GLsizei)indexCount;
  gpu.indexType = indexType;

  // Baked geometry is one instance at the identity frame.
  auto identity = std::vector<frame3f>{frame3f{}};
  if (!frames) frames = &identity;
  auto rows = std::vector<float>{};
  rows.reserve(frames->size() * 12);
  for (auto& f : *frames)
    rows.insert(rows.end(), {f.x.x, f.y.x, f.z.x, f.o.x, f.x.y, f.y.y, f.z.y, f.o.y, f.x.z, f.y.z,
                             f.z.z, f.o.z});
  glBindBuffer(GL_ARRAY_BUFFER, gpu.buffers[3]);
  glBufferData(GL_ARRAY_BUFFER, (GLsizeiptr)(rows.size() * sizeof(float)), rows.data(), GL_STATIC_DRAW);
  for (GLuint k = 0; k < 3; k++) {
    glEnableVertexAttribArray(2 + k);
    glVertexAttribPointer(2 + k, 4, GL_FLOAT, GL_FALSE, 12 * sizeof(float),
                          (const void*)(k * 4 * sizeof(float)));
    glVertexAttribDivisor(2 + k, 1);
  }
  gpu.instances = (GLsizei)frames->size();
  glBindVertexArray(0);
  return gpu;
}

void SceneRenderer::addBatch(const draw_batch& batch, int tileGrid) {
  auto gpu = makeMesh(batch.positions, batch.texcoords, batch.indices.data(), batch.indices.size(),
                      GL_UNSIGNED_SHORT, nullptr);
  gpu.look = batch.look;
  gpu.layer = batch.layer;
  gpu.height = batch.height;
  gpu.ranges = batch.ranges;
  // Runs that reach past the indices or vertices are not drawn.
  for (auto& range : gpu.ranges) {
    if ((size_t)range.base_vertex + range.vertex_count > batch.positions.size()) range.level_count = 0;
    for (int k = 0; k < range.level_count; k++) {
      auto& level = range.levels[k];
      if (level.first > batch.indices.size()) level.first = batch.indices.size();
      level.count = std::min(level.count, batch.indices.size() - level.first);
    }
    expand(gpu.bounds, range.bounds);
  }
  // The blocks, and their coarsest levels in one index list (none when the
  // far picture stands for small tiles).
  auto byBlock = std::map<int, size_t>{};
  gpu.blockTiles = (float)std::min(draw_block_tiles, std::max(1, tileGrid));
  auto blockIndexData = std::vector<uint32_t>{};
  for (size_t r = 0; r < gpu.ranges.size(); r++) {
    auto& range = gpu.ranges[r];
    if (range.level_count == 0) continue;
    auto grid = std::max(1, tileGrid);
    auto key = (range.tile / grid / draw_block_tiles) * 1024 + (range.tile % grid) / draw_block_tiles;
    auto found = byBlock.find(key);
    if (found == byBlock.end()) {
      found = byBlock.emplace(key, gpu.blocks.size()).first;
      gpu.blocks.push_back({});
    }
    auto& block = gpu.blocks[found->second];
    expand(block.bounds, range.bounds);
    block.runs.push_back(r);
  }
  for (auto& block : gpu.blocks) {
    block.first = blockIndexData.size();
    if (!farMesh.vertexArray)
      for (auto r : block.runs) {
        auto& range = gpu.ranges[r];
        auto& level = range.levels[range.level_count - 1];
        for (size_t k = level.first; k < level.first + level.count; k++)
          blockIndexData.push_back(range.base_vertex + batch.indices[k]);
      }
    block.count = blockIndexData.size() - block.first;
  }
  if (!blockIndexData.empty()) {
    glGenVertexArrays(1, &gpu.blockArray);
    glBindVertexArray(gpu.blockArray);
    glBindBuffer(GL_ARRAY_BUFFER, gpu.buffers[0]);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, sizeof(vec3f), nullptr);
    if (gpu.hasTexcoords) {
      glBindBuffer(GL_ARRAY_BUFFER, gpu.buffers[1]);
      glEnableVertexAttribArray(1);
      glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, sizeof(vec2f), nullptr);
    }
    glBindBuffer(GL_ARRAY_BUFFER, gpu.buffers[3]);
    for (GLuint k = 0; k < 3; k++) {
      glEnableVertexAttribArray(2 + k);
      glVertexAttribPointer(2 + k, 4, GL_FLOAT, GL_FALSE, 12 * sizeof(float),
                            (const void*)(k * 4 * sizeof(float)));
      glVertexAttribDivisor(2 + k, 1);
    }
    glGenBuffers(1, &gpu.blockIndices);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, gpu.blockIndices);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, (GLsizeiptr)(blockIndexData.size() * sizeof(uint32_t)),
                 blockIndexData.data(), GL_STATIC_DRAW);
    glBindVertexArray(0);
  }
  meshes.push_back(std::move(gpu));
}

void SceneRenderer::releaseFarImage() {
  if (farMesh.vertexArray) {
    glDeleteBuffers(4, farMesh.buffers);
    glDeleteVertexArrays(1, &farMesh.vertexArray);
  }
  farMesh = GpuMesh{};
  for (auto name : {farAlbedo, farFacing})
    if (name) glDeleteTextures(1, &name);
  farAlbedo = farFacing = 0;
  farBoxes.clear(), farQuad.clear(), farNow.clear();
}

void SceneRenderer::addFarImage(const draw_list& list) {
  auto& far = list.far;
  // A newer picture (a list made in parts gets a first one with its
  // nearest tiles) takes the place of the last.
  releaseFarImage();
  auto grid = list.tile_grid;
  auto texels = (size_t)std::max(0, far.width) * (size_t)std::max(0, far.height);
  if (texels == 0 || grid < 1 || far.albedo.size() != texels || far.facing.size() != texels ||
      far.tiles.size() != (size_t)grid * (size_t)grid)
    return;
  GLint limit = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &limit);
  if (far.width > limit || far.height > limit) return;
  auto upload = [&](const std::vector<vec4b>& pixels, GLenum format) {
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, format, far.width, far.height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 pixels.data());
    glGenerateMipmap(GL_TEXTURE_2D);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    return name;
  };
  farAlbedo = upload(far.albedo, GL_SRGB8_ALPHA8);
  farFacing = upload(far.facing, GL_RGBA8);
  farGrid = grid;
  farPlan = list.focus;
  farBoxes = far.tiles;
  farQuad.assign(far.tiles.size(), -1);
  auto positions = std::vector<vec3f>{};
  auto texcoords = std::vector<vec2f>{};
  auto indices = std::vector<uint16_t>{};
  for (size_t t = 0; t < far.tiles.size(); t++) {
    auto& box = far.tiles[t];
    if (!(box.min.x <= box.max.x)) continue;
    auto cx = (float)(t / (size_t)grid), cz = (float)(t % (size_t)grid);
    auto base = (uint16_t)positions.size();
    farQuad[t] = (int)(indices.size() / 6);
    for (int k = 0; k < 4; k++) {
      auto ix = k & 1, iz = k >> 1;
      positions.push_back({ix ? box.max.x : box.min.x, box.min.y, iz ? box.max.z : box.min.z});
      texcoords.push_back({(cx + (float)ix) / (float)grid, (cz + (float)iz) / (float)grid});
    }
    for (auto k : {0, 1, 3, 0, 3, 2}) indices.push_back((uint16_t)(base + k));
  }
  farMesh = makeMesh(positions, texcoords, indices.data(), indices.size(), GL_UNSIGNED_SHORT, nullptr);
  farMesh.height = list.focus.min.y;
}

void SceneRenderer::chooseFarTiles(const FrameState& frame) {
  farNow.assign(farBoxes.size(), 0);
  if (!farMesh.vertexArray || !(detailPixels > 0)) return;
  for (size_t t = 0; t < farBoxes.size(); t++) {
    auto& box = farBoxes[t];
    farNow[t] = box.min.x <= box.max.x &&
                spans_fewer_pixels(box, frame.eye.o, frame.pixelsPerUnit, far_tile_pixels * detailPixels);
  }
}

SceneRenderer::FarCover SceneRenderer::farCover(const bbox3f& box) const {
  if (farBoxes.empty() || farGrid < 1) return FarCover::none;
  // The tiles' columns and rows the box reaches; none past the plan's edge
  // (beyond a rounding of its size).
  auto span = [&](float low, float high, float planLow, float planHigh, int& first, int& last) {
    auto scale = (float)farGrid / (planHigh - planLow);
    auto a = (low - planLow) * scale, b = (high - planLow) * scale;
    if (!(a >= -1e-3f && b <= (float)farGrid + 1e-3f)) return false;
    first = std::clamp((int)std::floor(a), 0, farGrid - 1);
    last = std::clamp((int)std::floor(b), 0, farGrid - 1);
    return true;
  };
  auto x0 = 0, x1 = 0, z0 = 0, z1 = 0;
  if (!span(box.min.x, box.max.x, farPlan.min.x, farPlan.max.x, x0, x1) ||
      !span(box.min.z, box.max.z, farPlan.min.z, farPlan.max.z, z0, z1))
    return FarCover::none;
  auto cover = FarCover::far;
  for (int x = x0; x <= x1; x++)
    for (int z = z0; z <= z1; z++) {
      auto tile = (size_t)(x * farGrid + z);
      if (!(farBoxes[tile].min.x <= farBoxes[tile].max.x)) return FarCover::none;
      if (farNow.empty() || !farNow[tile]) cover = FarCover::near;
    }
  return cover;
}

int SceneRenderer::drawFarTiles(const FrameState& frame, const view_frustum& frustum) {
  farCounts.clear(), farOffsets.clear();
  for (size_t t = 0; t < farNow.size(); t++) {
    if (!farNow[t] || farQuad[t] < 0 || !box_in_frustum(frustum, farBoxes[t])) continue;
    farCounts.push_back(6);
    farOffsets.push_back((const void*)((size_t)farQuad[t] * 6 * sizeof(uint16_t)));
  }
  if (farCounts.empty()) return 0;
  drawn += 2 * farCounts.size();
  auto direction = frame.eye.o.y >= farMesh.height ? 1.0f : -1.0f;
  glUniform1f(frame.layerAt, 1 - direction * frame.step * farLayer);
  glActiveTexture(GL_TEXTURE2);
  glBindTexture(GL_TEXTURE_2D, farFacing);
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_2D, farAlbedo);
  glBindVertexArray(farMesh.vertexArray);
  glMultiDrawElements(GL_TRIANGLES, farCounts.data(), GL_UNSIGNED_SHORT, farOffsets.data(),
                      (GLsizei)farCounts.size());
  glBindVertexArray(0);
  return 1;
}

void SceneRenderer::addInstanced(const draw_instances& group) {
  // Shapes of fewer than 2^16 vertices take 16-bit indices.
  auto& mesh = group.mesh;
  auto gpu = GpuMesh{};
  if (mesh.positions.size() <= 0xffff) {
    auto small = std::vector<uint16_t>(mesh.indices.begin(), mesh.indices.end());
    gpu = makeMesh(mesh.positions, mesh.texcoords, small.data(), small.size(), GL_UNSIGNED_SHORT,
                   &group.frames);
  } else {
    gpu = makeMesh(mesh.positions, mesh.texcoords, mesh.indices.data(), mesh.indices.size(),
                   GL_UNSIGNED_INT, &group.frames);
  }
  gpu.look = group.look;
  gpu.instanceRuns = group.runs;
  gpu.levelCount = group.level_count;
  for (int k = 0; k < group.level_count; k++) {
    gpu.levels[k] = group.levels[k];
    auto& level = gpu.levels[k];
    level.first = std::min(level.first, mesh.indices.size());
    level.count = std::min(level.count, mesh.indices.size() - level.first);
  }
  for (auto& run : gpu.instanceRuns) {
    run.first = std::min(run.first, group.frames.size());
    run.count = std::min(run.count, group.frames.size() - run.first);
    expand(gpu.bounds, run.bounds);
  }
  meshes.push_back(std::move(gpu));
}

bool SceneRenderer::makeShadowMap() {
  // The framebuffer bound now (a widget's own) is bound again at the end:
  // the frame drawn next goes there, not to the window's.
  GLint previous = 0;
  glGetIntegerv(GL_FRAMEBUFFER_BINDING, &previous);
  glGenTextures(1, &shadowTexture);
  glBindTexture(GL_TEXTURE_2D, shadowTexture);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_DEPTH_COMPONENT24, shadowSize, shadowSize, 0, GL_DEPTH_COMPONENT,
               GL_UNSIGNED_INT, nullptr);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_COMPARE_MODE, GL_COMPARE_REF_TO_TEXTURE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_COMPARE_FUNC, GL_LEQUAL);
  glGenFramebuffers(1, &shadowFramebuffer);
  glBindFramebuffer(GL_FRAMEBUFFER, shadowFramebuffer);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_TEXTURE_2D, shadowTexture, 0);
  glDrawBuffer(GL_NONE);
  glReadBuffer(GL_NONE);
  auto complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  glBindFramebuffer(GL_FRAMEBUFFER, (GLuint)previous);
  return complete;
}

bool SceneRenderer::initialize(const draw_list& list, QString& error, bool geometry) {
  if (!initializeOpenGLFunctions()) {
    error = "OpenGL 3.3 core is not available";
    return false;
  }
  auto meshSource = std::string("#version 330 core\n") + sceneFragmentShader;
  auto farSource = std::string("#version 330 core\n#define FAR_IMAGE\n") + sceneFragmentShader;
  sceneProgram = compile(sceneVertexShader, meshSource.c_str(), error);
  if (!sceneProgram) return false;
  farProgram = compile(sceneVertexShader, farSource.c_str(), error);
  if (!farProgram) return false;
  backdropProgram = compile(backdropVertexShader, backdropFragmentShader, error);
  if (!backdropProgram) return false;
  depthProgram = compile(depthVertexShader, depthFragmentShader, error);
  if (!depthProgram) return false;
  glGenVertexArrays(1, &emptyArray);
  // Without a framebuffer for the map the scene is drawn without shadows.
  if (shadows && !makeShadowMap()) shadows = false;

  GLfloat anisotropy = 0;
  while (glGetError() != GL_NO_ERROR) {
  }
  glGetFloatv(0x84FF, &anisotropy);  // the extension's largest anisotropy
  maxAnisotropy = glGetError() == GL_NO_ERROR ? anisotropy : 0;
  // A software renderer takes many samples per pixel for it, one at a
  // time: there it costs far more than it shows.
  auto renderer = QString((const char*)glGetString(GL_RENDERER)).toLower();
  for (auto name : {"llvmpipe", "softpipe", "software", "swiftshader"})
    if (renderer.contains(name)) maxAnisotropy = 0;

  for (auto texture : list.textures) textures.push_back(uploadImage(*texture));
  addFarImage(list);
  looks = list.looks;
  pending = uploaded = queuedBatches = queuedGroups = uploadedTriangleCount = 0;
  waiting.clear();
  queueAdded(list);
  if (geometry) {
    for (auto& batch : list.batches) addBatch(batch, list.tile_grid);
    for (auto& group : list.instanced) addInstanced(group);
    for (auto& item : waiting) uploadedTriangleCount += fullTriangles(list, item);
    uploaded = pending;
    waiting.clear();
    // Fewer changes of state: meshes of one look one after the other.
    std::stable_sort(meshes.begin(), meshes.end(),
                     [](const GpuMesh& a, const GpuMesh& b) { return a.look < b.look; });
  }

  if (list.sky) {
    auto& image = list.sky->hdr;
    glGenTextures(1, &skyTexture);
    glBindTexture(GL_TEXTURE_2D, skyTexture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA16F, image.width, image.height, 0, GL_RGBA, GL_FLOAT,
                 image.pixels.data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  }
  bounds = list.bounds;
  casters = list.focus;
  hasSun = list.has_sun;
  sunDirection = list.sun_direction;
  sunColor = list.sun_color;
  skyAmbient = list.sky_ambient;
  groundAmbient = list.ground_ambient;
  skyFrame = list.sky_frame;
  skyExposure = list.sky_exposure;
  triangleCount = list.triangles;
  if (glGetError() == GL_OUT_OF_MEMORY) {
    error = "out of graphics memory";
    return false;
  }
  ready = true;
  return true;
}

void SceneRenderer::queueAdded(const draw_list& list) {
  if (!list.far.albedo.empty()) addFarImage(list);
  for (; queuedBatches < list.batches.size(); queuedBatches++) waiting.push_back({false, queuedBatches});
  for (; queuedGroups < list.instanced.size(); queuedGroups++) waiting.push_back({true, queuedGroups});
  pending = uploaded + waiting.size();
  triangleCount = list.triangles;
}

size_t SceneRenderer::fullTriangles(const draw_list& list, const Waiting& item) {
  auto count = size_t{0};
  if (item.instanced) {
    auto& group = list.instanced[item.index];
    return group.levels[0].count / 3 * group.frames.size();
  }
  for (auto& range : list.batches[item.index].ranges) count += range.levels[0].count / 3;
  return count;
}

bool SceneRenderer::uploadNext(draw_list& list, const vec3f& eye) {
  if (waiting.empty()) return false;
  // The nearest of what is left: by the distance to its nearest run.
  auto distance = [&](const Waiting& item) {
    auto best = std::numeric_limits<float>::max();
    if (item.instanced) return best;
    for (auto& range : list.batches[item.index].ranges) best = std::min(best, box_distance(range.bounds, eye));
    return best;
  };
  auto next = std::min_element(waiting.begin(), waiting.end(),
                               [&](const Waiting& a, const Waiting& b) { return distance(a) < distance(b); });
  auto item = *next;
  waiting.erase(next);
  uploadedTriangleCount += fullTriangles(list, item);
  if (!item.instanced) {
    addBatch(list.batches[item.index], list.tile_grid);
    auto& batch = list.batches[item.index];
    batch.positions = {}, batch.texcoords = {}, batch.indices = {};
  } else {
    auto& group = list.instanced[item.index];
    addInstanced(group);
    group.mesh = {}, group.frames = {};
  }
  uploaded++;
  std::stable_sort(meshes.begin(), meshes.end(),
                   [](const GpuMesh& a, const GpuMesh& b) { return a.look < b.look; });
  return true;
}

void SceneRenderer::release() {
  if (!sceneProgram && !backdropProgram) return;
  for (auto& mesh : meshes) {
    glDeleteBuffers(4, mesh.buffers);
    glDeleteVertexArrays(1, &mesh.vertexArray);
    if (mesh.blockArray) glDeleteVertexArrays(1, &mesh.blockArray);
    if (mesh.blockIndices) glDeleteBuffers(1, &mesh.blockIndices);
  }
  meshes.clear();
  releaseFarImage();
  if (!textures.empty()) glDeleteTextures((GLsizei)textures.size(), textures.data());
  textures.clear();
  if (skyTexture) glDeleteTextures(1, &skyTexture);
  if (shadowTexture) glDeleteTextures(1, &shadowTexture);
  if (shadowFramebuffer) glDeleteFramebuffers(1, &shadowFramebuffer);
  if (emptyArray) glDeleteVertexArrays(1, &emptyArray);
  for (auto program : {sceneProgram, farProgram, backdropProgram, depthProgram})
    if (program) glDeleteProgram(program);
  sceneProgram = farProgram = backdropProgram = depthProgram = emptyArray = skyTexture = 0;
  shadowTexture = shadowFramebuffer = 0;
  ready = false;
}


void SceneRenderer::collectDraws(const FrameState& frame, const view_frustum& frustum, Pass pass,
                                 size_t& count) {
  draws.clear();
  runCounts.clear(), runOffsets.clear(), runBases.clear();
  blockCounts.clear(), blockOffsets.clear();
  spans.clear();
  auto pixels = detailPixels;
  // Flat runs in the stack of layers on the ground (ground, areas, roads,
  // water) have nothing below them but that stack, which the bias keeps
  // lit anyway: they cast no shadow.
  auto groundTop = bounds.min.y + groundTolerance * length(bounds.max - bounds.min);
  for (size_t m = 0; m < meshes.size(); m++) {
    auto& mesh = meshes[m];
    if (!box_in_frustum(frustum, mesh.bounds) || farCover(mesh.bounds) == FarCover::far) continue;
    auto draw = MeshDraws{m, runCounts.size(), 0, blockCounts.size(), 0, spans.size(), 0};
    if (mesh.ranges.empty()) {
      collectInstanced(mesh, frame, frustum, pass, count);
    } else {
      for (auto& block : mesh.blocks) {
        if (!box_in_frustum(frustum, block.bounds)) continue;
        auto blockCover = farCover(block.bounds);
        if (blockCover == FarCover::far) continue;
        // A block small on screen as a whole (each of its tiles a fraction
        // of it) is drawn in one go at the coarsest level, or casts no shadow.
        if (mesh.blockArray && blockCover == FarCover::none &&
            small_on_screen(block.bounds, frame.eye.o, frame.pixelsPerUnit, mesh.blockTiles * pixels)) {
          if (pass == Pass::view && block.count > 0) {
            blockCounts.push_back((GLsizei)block.count);
            blockOffsets.push_back((const void*)(block.first * sizeof(uint32_t)));
            count += block.count / 3;
          }
          continue;
        }
        for (auto r : block.runs) {
          auto& range = mesh.ranges[r];
          if (range.level_count == 0 || !box_in_frustum(frustum, range.bounds)) continue;
          auto cover = farCover(range.bounds);
          if (cover == FarCover::far) continue;
          if (pass == Pass::shadow &&
              ((range.flat && range.bounds.max.y <= groundTop) ||
               small_on_screen(range.bounds, frame.eye.o, frame.pixelsPerUnit, pixels)))
            continue;
          auto& level = range.levels[detail_level(range.bounds, range.levels, range.level_count,
                                                  frame.eye.o, frame.pixelsPerUnit, pixels,
                                                  cover == FarCover::none)];
          if (level.count == 0) continue;
          runCounts.push_back((GLsizei)level.count);
          runOffsets.push_back((const void*)(level.first * sizeof(uint16_t)));
          runBases.push_back((GLint)range.base_vertex);
          count += level.count / 3;
        }
      }
    }
    draw.runCount = runCounts.size() - draw.runs;
    draw.blockCount = blockCounts.size() - draw.blocks;
    draw.spanCount = spans.size() - draw.spans;
    if (draw.runCount + draw.blockCount + draw.spanCount > 0) draws.push_back(draw);
  }
}

void SceneRenderer::collectInstanced(const GpuMesh& mesh, const FrameState& frame,
                                     const view_frustum& frustum, Pass pass, size_t& count) {
  auto pixels = detailPixels;
  auto add = [&](const InstanceSpan& span) {
    if (span.count == 0 || mesh.levels[span.level].count == 0) return;
    spans.push_back(span);
    count += mesh.levels[span.level].count / 3 * span.count;
  };
  // Runs that follow each other at one level take one call.
  auto pending = InstanceSpan{0, 0, -1};
  for (auto& run : mesh.instanceRuns) {
    if (run.count == 0 || !box_in_frustum(frustum, run.bounds)) continue;
    auto cover = farCover(run.bounds);
    if (cover == FarCover::far) continue;
    if (pass == Pass::shadow && small_on_screen(run.bounds, frame.eye.o, frame.pixelsPerUnit, pixels))
      continue;
    auto level = detail_level(run.bounds, mesh.levels, mesh.levelCount, frame.eye.o,
                              frame.pixelsPerUnit, pixels, cover == FarCover::none);
    if (level == pending.level && pending.first + pending.count == run.first) {
      pending.count += run.count;
      continue;
    }
    add(pending);
    pending = {run.first, run.count, level};
  }
  add(pending);
}

int SceneRenderer::submitDraws(const FrameState& frame, bool shaded) {
  auto calls = 0;
  auto currentLook = -1;
  for (auto& draw : draws) {
    auto& mesh = meshes[draw.mesh];
    if (shaded && mesh.look != currentLook) {
      auto& look = looks[(size_t)mesh.look];
      setVector(this, frame.colorAt, look.color);
      setVector(this, frame.emissionAt, look.emission);
      auto textured = look.texture >= 0 && (size_t)look.texture < textures.size();
      glUniform1i(frame.texturedAt, textured ? 1 : 0);
      if (textured) {
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, textures[(size_t)look.texture]);
      }
      currentLook = mesh.look;
    }
    if (frame.layerAt >= 0) {
      auto direction = frame.eye.o.y >= mesh.height ? 1.0f : -1.0f;
      glUniform1f(frame.layerAt, separateLayers ? 1 - direction * frame.step * (float)mesh.layer : 1.0f);
    }
    if (draw.blockCount > 0) {
      glBindVertexArray(mesh.blockArray);
      glMultiDrawElements(GL_TRIANGLES, blockCounts.data() + draw.blocks, GL_UNSIGNED_INT,
                          blockOffsets.data() + draw.blocks, (GLsizei)draw.blockCount);
      calls++;
    }
    if (draw.runCount > 0) {
      glBindVertexArray(mesh.vertexArray);
      glMultiDrawElementsBaseVertex(GL_TRIANGLES, runCounts.data() + draw.runs, GL_UNSIGNED_SHORT,
                                    runOffsets.data() + draw.runs, (GLsizei)draw.runCount,
                                    runBases.data() + draw.runs);
      calls++;
    }
    if (draw.spanCount > 0) {
      glBindVertexArray(mesh.vertexArray);
      glBindBuffer(GL_ARRAY_BUFFER, mesh.buffers[3]);
      auto indexSize = mesh.indexType == GL_UNSIGNED_SHORT ? 2 : 4;
      for (size_t k = draw.spans; k < draw.spans + draw.spanCount; k++) {
        // The frames from the span's first on: the instance attributes start there.
        auto& span = spans[k];
        for (GLuint a = 0; a < 3; a++)
          glVertexAttribPointer(2 + a, 4, GL_FLOAT, GL_FALSE, 12 * sizeof(float),
                                (const void*)((span.first * 12 + a * 4) * sizeof(float)));
        auto& l = mesh.levels[span.level];
        glDrawElementsInstanced(GL_TRIANGLES, (GLsizei)l.count, mesh.indexType,
                                (const void*)(l.first * indexSize), (GLsizei)span.count);
        calls++;
      }
    }
  }
  glBindVertexArray(0);
  return calls;
}

bool SceneRenderer::renderShadowMap(const FrameState& frame, const shadow_view& light) {
  drawnInShadow = 0;
  collectDraws(frame, frustum_of(light.clip), Pass::shadow, drawnInShadow);
  // Nothing casts (a whole city small on screen): no map to clear or read.
  if (draws.empty()) return false;
  GLint previous = 0;
  glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous);
  glBindFramebuffer(GL_FRAMEBUFFER, shadowFramebuffer);
  glViewport(0, 0, shadowSize, shadowSize);
  glEnable(GL_DEPTH_TEST);
  glDepthMask(GL_TRUE);
  glDepthFunc(GL_LESS);
  glClear(GL_DEPTH_BUFFER_BIT);
  // Sloped faces get a larger offset than flat ones.
  glEnable(GL_POLYGON_OFFSET_FILL);
  glPolygonOffset(1.5f, 2.0f);
  glUseProgram(depthProgram);
  setMatrix(this, glGetUniformLocation(depthProgram, "lightClip"), light.clip);
  submitDraws(frame, false);
  glDisable(GL_POLYGON_OFFSET_FILL);
  glBindFramebuffer(GL_FRAMEBUFFER, (GLuint)previous);
  return true;
}

void SceneRenderer::drawBackdrop(const frame3f& eye, float yfov, float aspect) {
  // Drawn last at the far plane, on the pixels that the scene left: a
  // framing view of a city covers most of them.
  glEnable(GL_DEPTH_TEST);
  glDepthMask(GL_FALSE);
  glDepthFunc(GL_LEQUAL);
  glUseProgram(backdropProgram);
  auto halfY = std::tan(yfov / 2);
  setVector(this, glGetUniformLocation(backdropProgram, "right"), normalize(eye.x));
  setVector(this, glGetUniformLocation(backdropProgram, "up"), normalize(eye.y));
  setVector(this, glGetUniformLocation(backdropProgram, "back"), normalize(eye.z));
  glUniform2f(glGetUniformLocation(backdropProgram, "halfExtent"), halfY * aspect, halfY);
  glUniform1i(glGetUniformLocation(backdropProgram, "hasSky"), skyTexture ? 1 : 0);
  if (skyTexture) {
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, skyTexture);
    glUniform1i(glGetUniformLocation(backdropProgram, "sky"), 0);
    // The frame's axes are its rows' inverse: project onto them.
    auto x = normalize(skyFrame.x), y = normalize(skyFrame.y), z = normalize(skyFrame.z);
    GLfloat rows[9] = {x.x, y.x, z.x, x.y, y.y, z.y, x.z, y.z, z.z};
    glUniformMatrix3fv(glGetUniformLocation(backdropProgram, "worldToSky"), 1, GL_FALSE, rows);
    glUniform1f(glGetUniformLocation(backdropProgram, "exposure"), skyExposure);
  }
  glBindVertexArray(emptyArray);
  glDrawArrays(GL_TRIANGLES, 0, 3);
  glDepthMask(GL_TRUE);
  glDepthFunc(GL_LESS);
}

int SceneRenderer::render(const view_camera& camera, int width, int height) {
  if (!ready || width <= 0 || height <= 0) return 0;
  auto aspect = (float)width / (float)height;
  auto frame = FrameState{};
  frame.eye = camera_frame(camera);
  auto& eye = frame.eye;
  auto nearPlane = 0.0f, farPlane = 0.0f;
  fit_depth_range(bounds, eye, camera.yfov, aspect, nearPlane, farPlane);
  frame.pixelsPerUnit = (float)height / (2 * std::tan(camera.yfov / 2));
  chooseFarTiles(frame);
  auto sun = normalize(hasSun ? sunDirection : defaultSun);

  // The sun's shadows reach a few times the distance of the view's centre.
  auto light = shadow_view{};
  drawnInShadow = 0;
  if (shadows && shadowFramebuffer) {
    light = fit_shadow_view(bounds, casters, eye, camera.yfov, aspect, nearPlane, farPlane,
                            4 * camera.distance, sun, shadowSize);
    if (light.valid) light.valid = renderShadowMap(frame, light);
  }

  glViewport(0, 0, width, height);
  glDisable(GL_CULL_FACE);
  glDisable(GL_BLEND);
  auto calls = 1;

  auto projection = projection_matrix(camera.yfov, aspect, nearPlane, farPlane);
  auto view = view_matrix(eye);
  // One layer rank moves a mesh towards the eye by a few steps of the depth
  // buffer at the far plane (24 bits): z / (near * 2^24) per unit of depth.
  frame.step = std::clamp(3 * farPlane / (nearPlane * 16777216.0f), 2e-7f, 2e-3f);
  drawn = 0;
  auto frustum = frustum_of(projection * view);
  collectDraws(frame, frustum, Pass::view, drawn);

  glEnable(GL_DEPTH_TEST);
  glDepthMask(GL_TRUE);
  glDepthFunc(GL_LESS);
  glClear(GL_DEPTH_BUFFER_BIT);
  if (light.valid) {
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, shadowTexture);
    glActiveTexture(GL_TEXTURE0);
  }
  // The view, the light and the sun's shadow map: the same for the meshes
  // and the far tiles.
  auto setLighting = [&](GLuint program) {
    glUseProgram(program);
    auto location = [&](const char* name) { return glGetUniformLocation(program, name); };
    setMatrix(this, location("view"), view);
    setMatrix(this, location("projection"), projection);
    setVector(this, location("eye"), eye.o);
    setVector(this, location("sunDirection"), sun);
    setVector(this, location("sunColor"), sunColor);
    setVector(this, location("skyAmbient"), skyAmbient);
    setVector(this, location("groundAmbient"), groundAmbient);
    glUniform1i(location("image"), 0);
    glUniform1i(location("facingImage"), 2);
    glUniform1i(location("shadowed"), light.valid ? 1 : 0);
    glUniform1i(location("shadowMap"), 1);
    if (light.valid) {
      setMatrix(this, location("lightClip"), light.clip);
      // Out along the normal by a texel and a half, towards the sun by one.
      glUniform1f(location("normalOffset"), 1.5f * light.texel);
      glUniform1f(location("depthBias"), 2 * light.texel / light.depth);
    }
    frame.colorAt = location("color"), frame.emissionAt = location("emission");
    frame.texturedAt = location("textured"), frame.layerAt = location("layerScale");
  };
  // The far tiles first: the ground they lie on fails the depth test there
  // instead of being shaded and then covered.
  if (farMesh.vertexArray && std::find(farNow.begin(), farNow.end(), 1) != farNow.end()) {
    setLighting(farProgram);
    calls += drawFarTiles(frame, frustum);
  }
  setLighting(sceneProgram);
  calls += submitDraws(frame, true);
  drawBackdrop(eye, camera.yfov, aspect);
  return calls;
}
