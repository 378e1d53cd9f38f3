#pragma once
// The parts of the glTF writer (gltf_geometry.cpp, gltf_records.cpp,
// gltf_scene.cpp): the document text, the files the buffer and the long
// lists of the document are streamed into, and the builder that takes the
// scene instance by instance.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "scene/export_scene.h"
#include "scene/json_scene.h"
#include "scene/scene.h"
#include "support/files.h"

namespace gltf_writing {

const int array_buffer = 34962, element_array_buffer = 34963;
const int unsigned_byte = 5121, unsigned_short = 5123, unsigned_int = 5125, float_type = 5126;
const int mode_points = 0, mode_lines = 1, mode_triangles = 4;

// A factor of the material model: glTF wants it within 0 ... 1.
float unit(float v);

// ---------------------------------------------------------------------------
// The document, written as text while it is built: a city holds millions of
// nodes and accessors, too many for a tree of JSON values.

struct json_text {
  std::string       out       = "";
  std::vector<bool> first     = {};  // per open container: nothing in it yet
  bool              after_key = false;
  bool              invalid   = false;  // a text that is not UTF-8 was given

  void separate();
  void open(char c) { separate(), out += c, first.push_back(true); }
  void close(char c) { out += c, first.pop_back(); }
  // The next item of a list on a line of its own.
  void next_line() { separate(), out += '\n', after_key = true; }
  // A value written already, such as an object of an earlier json_text.
  void raw(const std::string& text) { separate(), out += text; }
  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  void key(const char* name);
  void number(float value);
  void integer(long long value);
  void boolean(bool value) { separate(), out += value ? "true" : "false"; }
  void string(std::string_view text);
  void numbers(std::initializer_list<float> values);
  void member(const char* name, float value) { key(name), number(value); }
  void member(const char* name, long long value) { key(name), integer(value); }
  void member(const char* name, int value) { key(name), integer(value); }
  void member(const char* name, size_t value) { key(name), integer((long long)value); }
  void member(const char* name, const char* text) { key(name), string(text); }
  void member(const char* name, std::string_view text) { key(name), string(text); }
  void member(const char* name, const std::string& text) { key(name), string(text); }
};

// ---------------------------------------------------------------------------
// A file beside the output that a part of the result is streamed into and
// copied from at the end; removed however the writer ends.

struct stream_part {
  hidden_file file;
  std::string pending = "";  // bytes not yet written
  std::string temp    = "";  // the file once closed
  uint64_t    written = 0;
  ~stream_part();

  uint64_t total() const { return written + pending.size(); }
  bool     open(const std::string& beside, std::string& error);
  // Writes the pending bytes once there are many, or all of them with `all`.
  bool flush(bool all, std::string& error);
  bool close(std::string& error);
};

// A closed part appended to `out` through `buffer`, then removed; fails like
// write_hidden_text, naming out's path (or ": read error" on the part).
bool copy_part(stream_part& part, hidden_file& out, std::string& buffer, std::string& error);

// ---------------------------------------------------------------------------
// Binary data: one buffer view per kind of data, so that every accessor of a
// kind shares it (a view per accessor would double the document of a city).

enum view_kind { positions_view, normals_view, texcoords_view, colors_view, index8_view,
                 index16_view, index32_view, view_kinds };
extern const int view_strides[view_kinds];

// An accessor as the document needs it, kept in a part until the views are
// laid out (its view's index depends on which views end up empty).
struct accessor_record {
  uint64_t offset     = 0;
  uint64_t count      = 0;
  vec3f    min        = {}, max = {};
  uint32_t view       = 0;
  uint32_t has_bounds = 0;
};

// The accessors of one shape as it is shown: its faces, lines and points
// over its vertex arrays. Faces of face-varying or façade-textured shapes
// have vertices of their own; lines and points keep the shape's.
struct geometry_entry {
  int  positions = -1, normals = -1, texcoords = -1, colors = -1;
  int  faces = -1, lines = -1, points = -1;
  int  line_positions = -1;
  bool empty() const { return faces < 0 && lines < 0 && points < 0; }
};

struct image_entry {
  const scene_texture* texture = nullptr;
  bool                 linear  = false;  // normal maps keep their values
  std::string          png     = "";
};

bool has_pixels(const scene_texture* texture);

// What the writer knows of a shape shown by several instances once it has
// taken it.
const uint8_t fact_known = 1, fact_geometry = 2, fact_texcoords = 4;

struct gltf_builder {
  const std::string&       filename;
  const scene_data&        scene;
  const json_scene_store&  store;
  const store_export_plan& plan;
  std::string&             error;

  // The streamed parts: each view's bytes, the accessors, and the texts of
  // the nodes and the meshes.
  stream_part views[view_kinds];
  stream_part accessors;
  stream_part nodes;
  stream_part meshes;
  size_t      accessor_count = 0, node_count = 0, mesh_count = 0;

  std::vector<std::string> materials  = {};  // each a JSON object
  std::vector<image_entry> images     = {};
  std::vector<std::string> cameras    = {};
  std::vector<std::string> lights     = {};
  std::set<std::string>    extensions = {};
  bool                     invalid    = false;  // text that is not UTF-8 met

  // Shapes shown by several instances keep their geometry entries, by
  // shape, façade aspect and (for frames placed in the mesh) instance.
  std::vector<uint8_t>                                    uses          = {};  // up to 2
  std::vector<uint8_t>                                    shape_facts   = {};
  std::vector<geometry_entry>                             kept          = {};
  std::map<std::tuple<uint32_t, float, size_t>, int>      geometry_of   = {};
  std::map<std::pair<int, int>, int>                      shown_as      = {};
  std::unordered_map<const scene_material*, int>          material_of   = {};
  std::unordered_map<std::string, int>                    material_by_text = {};
  std::map<std::pair<const scene_texture*, bool>, int>    image_of      = {};
  scene_shape                                             scratch       = {};

  gltf_builder(const std::string& filename, const scene_data& scene,
               const json_scene_store& store, const store_export_plan& plan, std::string& error)
      : filename(filename), scene(scene), store(store), plan(plan), error(error) {}

  bool open_parts();
  bool flush_parts(bool all);

  // gltf_geometry.cpp
  int  add_vertices(view_kind view, const void* data, size_t count, size_t size);
  int  add_positions(const std::vector<vec3f>& positions);
  int  add_indices(const int* indices, size_t count);
  bool add_geometry(const scene_shape& shape, float aspect, const frame3f* bake,
                    geometry_entry& entry);

  // gltf_records.cpp
  int  image_index(const scene_texture& texture, bool linear);
  void texture_member(json_text& json, const char* key, const scene_texture& texture,
                      bool linear);
  int  material_index(const scene_material* record, std::string_view name);
  bool add_instance(size_t index);
  bool add_mesh(const geometry_entry& g, int material, bool textured, std::string_view name);
  bool add_node(json_text& json);
  void add_camera(const scene_camera& camera);
  void add_sun(const scene_environment& environment);
  bool encode_images(const progress_callback& progress, int total);
};

// The node of a record: its name, then what the caller adds, then close it.
void begin_node(json_text& json, std::string_view name);
void append_matrix(json_text& json, const frame3f& f);

}  // namespace gltf_writing
