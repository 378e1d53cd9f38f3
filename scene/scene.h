#pragma once
// The in-memory scene. scene_data owns every record; records refer to each
// other by non-owning pointers that stay valid as the scene grows. Names are
// the keys by which scene files refer to records, unique within one array.

#include <memory>
#include <string>
#include <vector>

#include "scene/georeference.h"
#include "scene/image.h"
#include "scene/math.h"

struct scene_texture {
  std::string name = "";
  image4f     hdr  = {};  // float pixels; when empty the texture is 8-bit
  image4b     ldr  = {};
};

struct scene_camera {
  std::string name     = "";
  frame3f     frame    = {};
  bool        ortho    = false;
  float       lens     = 0.05f;
  float       film     = 0.036f;
  float       aspect   = 1.5f;
  float       focus    = 10000;
  float       aperture = 0;
};

struct scene_environment {
  std::string    name         = "";
  frame3f        frame        = {};
  vec3f          emission     = {0, 0, 0};
  scene_texture* emission_tex = nullptr;
};

struct scene_material {
  std::string    name             = "";
  vec3f          emission         = {0, 0, 0};
  vec3f          color            = {0, 0, 0};
  float          specular         = 0;
  float          roughness        = 0;
  float          metallic         = 0;
  float          ior              = 1.5f;
  float          coat             = 0;
  float          transmission     = 0;
  float          translucency     = 0;
  vec3f          scattering       = {0, 0, 0};
  float          scanisotropy     = 0;
  float          trdepth          = 0.01f;
  float          opacity          = 1;
  bool           thin             = true;
  scene_texture* emission_tex     = nullptr;
  scene_texture* color_tex        = nullptr;
  scene_texture* specular_tex     = nullptr;
  scene_texture* metallic_tex     = nullptr;
  scene_texture* roughness_tex    = nullptr;
  scene_texture* transmission_tex = nullptr;
  scene_texture* translucency_tex = nullptr;
  scene_texture* scattering_tex   = nullptr;
  scene_texture* coat_tex         = nullptr;
  scene_texture* opacity_tex      = nullptr;
  scene_texture* normal_tex       = nullptr;
};

struct scene_shape {
  std::string name = "";
  // indexed elements: indices address every vertex array alike
  std::vector<int>   points    = {};
  std::vector<vec2i> lines     = {};
  std::vector<vec3i> triangles = {};
  std::vector<vec4i> quads     = {};
  // face-varying quads: separate indices into positions, normals, texcoords
  std::vector<vec4i> quadspos      = {};
  std::vector<vec4i> quadsnorm     = {};
  std::vector<vec4i> quadstexcoord = {};
  // vertex data
  std::vector<vec3f> positions = {};
  std::vector<vec3f> normals   = {};
  std::vector<vec2f> texcoords = {};
  std::vector<vec4f> colors    = {};
  std::vector<float> radius    = {};
  // rendering settings, written into the instances that use the shape
  int            subdivisions     = 0;
  bool           catmullclark     = true;
  bool           smooth           = true;
  float          displacement     = 0;
  scene_texture* displacement_tex = nullptr;
};

struct scene_instance {
  std::string     name     = "";
  frame3f         frame    = {};
  scene_shape*    shape    = nullptr;
  scene_material* material = nullptr;
};

struct scene_data {
  std::string name      = "";
  std::string copyright = "";
  // Only the exports to other programs write it (glTF extras).
  scene_georeference georeference = {};
  std::vector<std::unique_ptr<scene_camera>>      cameras      = {};
  std::vector<std::unique_ptr<scene_instance>>    instances    = {};
  std::vector<std::unique_ptr<scene_environment>> environments = {};
  std::vector<std::unique_ptr<scene_shape>>       shapes       = {};
  std::vector<std::unique_ptr<scene_texture>>     textures     = {};
  std::vector<std::unique_ptr<scene_material>>    materials    = {};
};

// Creation: each appends a default record and returns it. An empty name
// becomes the array's prefix and its new count ("camera3", "shape1").
scene_camera*      add_camera(scene_data& scene, const std::string& name = "");
scene_environment* add_environment(scene_data& scene, const std::string& name = "");
scene_instance*    add_instance(scene_data& scene, std::string name = "");
scene_material*    add_material(scene_data& scene, const std::string& name = "");
scene_shape*       add_shape(scene_data& scene, const std::string& name = "");
scene_texture*     add_texture(scene_data& scene, const std::string& name = "");

// An instance with its own shape and material, all three with the same name.
scene_instance* add_complete_instance(scene_data& scene, const std::string& name = "");

// The procedural daylight sky: a 1024 x 512 sun-sky texture "sky" shown by
// an environment "sky"; the sun stands at sun_angle radians from the zenith.
scene_environment* add_sky(scene_data& scene, float sun_angle);

// The materials as scene files key them: one per distinct name, in the
// order names first appear, each later record's non-default fields laid over
// the earlier ones (what a reader of the JSON scene file sees).
std::vector<scene_material> merge_materials_by_name(const scene_data& scene);

// Bounds of every instanced shape, mapped by its instance frame. Instances
// without a shape or with an empty shape contribute nothing.
bbox3f compute_scene_bounds(const scene_data& scene);
