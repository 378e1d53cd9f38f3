#include "view/scene_renderer.h"

#include <algorithm>
#include <cmath>

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

const char* sceneFragmentShader = R"(#version 330 core
in vec3 worldPosition;
in vec2 uv;
uniform vec3 eye;
uniform vec3 color;
uniform vec3 emission;
uniform bool textured;
uniform sampler2D image;
uniform vec3 sunDirection;
uniform vec3 sunColor;
uniform vec3 skyAmbient;
uniform vec3 groundAmbient;
out vec4 fragColor;
vec3 encodeSrgb(vec3 c) {
  c = clamp(c, 0.0, 1.0);
  return mix(c * 12.92, 1.055 * pow(c, vec3(1.0 / 2.4)) - 0.055, step(0.0031308, c));
}
void main() {
  // The face normal from the screen-space derivatives of the position,
  // turned towards the eye: flat shading without normals in the buffers.
  vec3 n = cross(dFdx(worldPosition), dFdy(worldPosition));
  float len = length(n);
  n = len > 0.0 ? n / len : vec3(0.0, 1.0, 0.0);
  if (dot(n, eye - worldPosition) < 0.0) n = -n;
  vec3 albedo = color;
  if (textured) albedo *= texture(image, uv).rgb;
  float sun = max(dot(n, sunDirection), 0.0);
  vec3 ambient = mix(groundAmbient, skyAmbient, 0.5 + 0.5 * n.y);
  fragColor = vec4(encodeSrgb(albedo * (sunColor * (0.7 * sun) + ambient) + emission), 1.0);
}
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

void setVector(QOpenGLFunctions_3_3_Core* gl, GLint location, const vec3f& v) {
  gl->glUniform3f(location, v.x, v.y, v.z);
}

}  // namespace

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

SceneRenderer::GpuMesh SceneRenderer::upload(const draw_mesh& mesh,
                                             const std::vector<frame3f>* frames) {
  auto gpu = GpuMesh{};
  glGenVertexArrays(1, &gpu.vertexArray);
  glBindVertexArray(gpu.vertexArray);
  glGenBuffers(4, gpu.buffers);

  glBindBuffer(GL_ARRAY_BUFFER, gpu.buffers[0]);
  glBufferData(GL_ARRAY_BUFFER, (GLsizeiptr)(mesh.positions.size() * sizeof(vec3f)),
               mesh.positions.data(), GL_STATIC_DRAW);
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, sizeof(vec3f), nullptr);

  gpu.hasTexcoords = !mesh.texcoords.empty();
  if (gpu.hasTexcoords) {
    glBindBuffer(GL_ARRAY_BUFFER, gpu.buffers[1]);
    glBufferData(GL_ARRAY_BUFFER, (GLsizeiptr)(mesh.texcoords.size() * sizeof(vec2f)),
                 mesh.texcoords.data(), GL_STATIC_DRAW);
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, sizeof(vec2f), nullptr);
  }

  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, gpu.buffers[2]);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, (GLsizeiptr)(mesh.indices.size() * sizeof(uint32_t)),
               mesh.indices.data(), GL_STATIC_DRAW);
  gpu.indexCount = (GLsizei)mesh.indices.size();

  // Baked geometry is one instance at the identity frame.
  auto identity = std::vector<frame3f>{frame3f{}};
  if (!frames) frames = &identity;
  {
    auto rows = std::vector<float>{};
    rows.reserve(frames->size() * 12);
    for (auto& f : *frames)
      rows.insert(rows.end(), {f.x.x, f.y.x, f.z.x, f.o.x, f.x.y, f.y.y, f.z.y, f.o.y, f.x.z,
                               f.y.z, f.z.z, f.o.z});
    glBindBuffer(GL_ARRAY_BUFFER, gpu.buffers[3]);
    glBufferData(GL_ARRAY_BUFFER, (GLsizeiptr)(rows.size() * sizeof(float)), rows.data(),
                 GL_STATIC_DRAW);
    for (GLuint k = 0; k < 3; k++) {
      glEnableVertexAttribArray(2 + k);
      glVertexAttribPointer(2 + k, 4, GL_FLOAT, GL_FALSE, 12 * sizeof(float),
                            (const void*)(k * 4 * sizeof(float)));
      glVertexAttribDivisor(2 + k, 1);
    }
    gpu.instances = (GLsizei)frames->size();
  }
  glBindVertexArray(0);
  return gpu;
}

bool SceneRenderer::initialize(const draw_list& list, QString& error) {
  if (!initializeOpenGLFunctions()) {
    error = "OpenGL 3.3 core is not available";
    return false;
  }
  sceneProgram = compile(sceneVertexShader, sceneFragmentShader, error);
  if (!sceneProgram) return false;
  backdropProgram = compile(backdropVertexShader, backdropFragmentShader, error);
  if (!backdropProgram) return false;
  glGenVertexArrays(1, &emptyArray);

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
  looks = list.looks;
  for (auto& batch : list.batches) {
    auto gpu = upload(batch.mesh, nullptr);
    gpu.look = batch.look;
    gpu.layer = batch.layer;
    gpu.height = batch.height;
    gpu.ranges = batch.ranges;
    for (auto& range : gpu.ranges) range.count = std::min(range.count, batch.mesh.indices.size() - range.first);
    meshes.push_back(std::move(gpu));
  }
  for (auto& group : list.instanced) {
    auto gpu = upload(group.mesh, &group.frames);
    gpu.look = group.look;
    meshes.push_back(gpu);
  }
  // Fewer changes of state: meshes of one look one after the other.
  std::stable_sort(meshes.begin(), meshes.end(),
                   [](const GpuMesh& a, const GpuMesh& b) { return a.look < b.look; });

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

void SceneRenderer::release() {
  if (!sceneProgram && !backdropProgram) return;
  for (auto& mesh : meshes) {
    glDeleteBuffers(4, mesh.buffers);
    glDeleteVertexArrays(1, &mesh.vertexArray);
  }
  meshes.clear();
  if (!textures.empty()) glDeleteTextures((GLsizei)textures.size(), textures.data());
  textures.clear();
  if (skyTexture) glDeleteTextures(1, &skyTexture);
  if (emptyArray) glDeleteVertexArrays(1, &emptyArray);
  if (sceneProgram) glDeleteProgram(sceneProgram);
  if (backdropProgram) glDeleteProgram(backdropProgram);
  sceneProgram = backdropProgram = emptyArray = skyTexture = 0;
  ready = false;
}

bool SceneRenderer::drawVisible(const GpuMesh& mesh, const double planes[6][4]) {
  runCounts.clear();
  runOffsets.clear();
  auto end = size_t{0};
  for (auto& range : mesh.ranges) {
    auto& b = range.bounds;
    auto inside = true;
    for (int p = 0; p < 6 && inside; p++) {
      auto& q = planes[p];
      auto x = q[0] >= 0 ? b.max.x : b.min.x, y = q[1] >= 0 ? b.max.y : b.min.y,
           z = q[2] >= 0 ? b.max.z : b.min.z;
      inside = q[0] * x + q[1] * y + q[2] * z + q[3] >= 0;
    }
    if (!inside || range.count == 0) continue;
    // Runs that follow each other become one.
    if (!runCounts.empty() && end == range.first) {
      runCounts.back() += (GLsizei)range.count;
    } else {
      runCounts.push_back((GLsizei)range.count);
      runOffsets.push_back((const void*)(range.first * sizeof(uint32_t)));
    }
    end = range.first + range.count;
  }
  if (runCounts.empty()) return false;
  glMultiDrawElements(GL_TRIANGLES, runCounts.data(), GL_UNSIGNED_INT, runOffsets.data(),
                      (GLsizei)runCounts.size());
  return true;
}

int SceneRenderer::render(const view_camera& camera, int width, int height) {
  if (!ready || width <= 0 || height <= 0) return 0;
  auto calls = 0;
  auto aspect = (float)width / (float)height;
  auto eye = camera_frame(camera);
  auto nearPlane = 0.0f, farPlane = 0.0f;
  fit_depth_range(bounds, eye, camera.yfov, aspect, nearPlane, farPlane);

  glViewport(0, 0, width, height);
  glDisable(GL_CULL_FACE);
  glDisable(GL_BLEND);

  // The backdrop, behind everything.
  glDisable(GL_DEPTH_TEST);
  glDepthMask(GL_FALSE);
  glUseProgram(backdropProgram);
  auto halfY = std::tan(camera.yfov / 2);
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
  calls++;

  glEnable(GL_DEPTH_TEST);
  glDepthMask(GL_TRUE);
  glDepthFunc(GL_LESS);
  glClear(GL_DEPTH_BUFFER_BIT);
  glUseProgram(sceneProgram);
  auto location = [&](const char* name) { return glGetUniformLocation(sceneProgram, name); };
  setMatrix(this, location("view"), view_matrix(eye));
  setMatrix(this, location("projection"), projection_matrix(camera.yfov, aspect, nearPlane, farPlane));
  setVector(this, location("eye"), eye.o);
  setVector(this, location("sunDirection"), normalize(hasSun ? sunDirection : defaultSun));
  setVector(this, location("sunColor"), sunColor);
  setVector(this, location("skyAmbient"), skyAmbient);
  setVector(this, location("groundAmbient"), groundAmbient);
  glUniform1i(location("image"), 0);
  // The view's six planes, from the rows of projection times view; a box
  // lies outside when its corner farthest along a plane's normal is behind.
  auto clip = projection_matrix(camera.yfov, aspect, nearPlane, farPlane) * view_matrix(eye);
  double planes[6][4];
  for (int p = 0; p < 6; p++) {
    auto row = p / 2;
    auto sign = p % 2 == 0 ? 1.0 : -1.0;
    for (int k = 0; k < 4; k++) planes[p][k] = clip.at(3, k) + sign * clip.at(row, k);
  }
  auto colorAt = location("color"), emissionAt = location("emission"),
       texturedAt = location("textured"), layerAt = location("layerScale");

  // One layer rank moves a mesh towards the eye by a few steps of the depth
  // buffer at the far plane (24 bits): z / (near * 2^24) per unit of depth.
  auto step = std::clamp(3 * farPlane / (nearPlane * 16777216.0f), 2e-7f, 2e-3f);
  auto currentLook = -1;
  for (auto& mesh : meshes) {
    if (mesh.look != currentLook) {
      auto& look = looks[(size_t)mesh.look];
      setVector(this, colorAt, look.color);
      setVector(this, emissionAt, look.emission);
      auto textured = look.texture >= 0 && (size_t)look.texture < textures.size();
      glUniform1i(texturedAt, textured ? 1 : 0);
      if (textured) {
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, textures[(size_t)look.texture]);
      }
      currentLook = mesh.look;
    }
    auto direction = eye.o.y >= mesh.height ? 1.0f : -1.0f;
    glUniform1f(layerAt, separateLayers ? 1 - direction * step * (float)mesh.layer : 1.0f);
    glBindVertexArray(mesh.vertexArray);
    if (mesh.ranges.empty()) {
      glDrawElementsInstanced(GL_TRIANGLES, mesh.indexCount, GL_UNSIGNED_INT, nullptr, mesh.instances);
      calls++;
    } else if (drawVisible(mesh, planes)) {
      calls++;
    }
  }
  glBindVertexArray(0);
  return calls;
}
