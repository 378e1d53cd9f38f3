#pragma once
// The records of a glTF document that a scene is made of, and the one
// conversion of them into a scene. Both glTF readers fill these records:
// the general one from tinygltf's model (.gltf and .glb, with the files
// they refer to), the lean one from the parser's events over a .glb's JSON
// chunk. The records hold no buffer bytes: the conversion asks a
// gltf_byte_source for each accessor's and each embedded image's bytes,
// which the lean reader reads from the file as they are asked for.
//
// Nothing in the records is trusted: every index, range and count is
// checked by the conversion before it is used.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scene/georeference.h"
#include "scene/scene_load.h"

// Component types and primitive modes of the format.
enum : int {
  gltf_byte = 5120, gltf_unsigned_byte = 5121, gltf_short = 5122, gltf_unsigned_short = 5123,
  gltf_unsigned_int = 5125, gltf_float = 5126,
};
enum : int { gltf_triangles = 4, gltf_triangle_strip = 5, gltf_triangle_fan = 6 };

struct gltf_accessor {
  int      view = -1, component = 0, components = 0;  // components: 1 for SCALAR ... 16 for MAT4
  uint64_t offset = 0, count = 0;
  bool     normalized = false, sparse = false;
};
struct gltf_view {
  int      buffer = -1;
  uint64_t offset = 0, length = 0, stride = 0;
};
struct gltf_buffer {
  uint64_t length = 0;  // the bytes the source holds of it
  bool     external = false;  // by URI
};
struct gltf_primitive {
  int position = -1, texcoord = -1, indices = -1, material = -1, mode = gltf_triangles;
};
struct gltf_mesh {
  std::string                 name       = "";
  std::vector<gltf_primitive> primitives = {};
};
// A node's own transform: a matrix, or translation, rotation and scale.
struct gltf_transform {
  double matrix[16] = {};
  double t[3] = {0, 0, 0}, r[4] = {0, 0, 0, 1}, s[3] = {1, 1, 1};
  int    counts[4] = {0, 0, 0, 0};  // elements given of matrix, t, r, s
};
struct gltf_node {
  std::string      name = "";
  int              mesh = -1, camera = -1, light = -1, transform = -1;
  std::vector<int> children = {};
};
struct gltf_material {
  std::string name = "";
  double      color[4] = {1, 1, 1, 1}, emission[3] = {0, 0, 0};
  double      metallic = 1, roughness = 1;
  int         texture = -1;  // of the base colour
};
struct gltf_texture {
  int source = -1;  // its image
};
struct gltf_image {
  std::string                name     = "";
  int                        view     = -1;
  bool                       external = false;  // by URI
  std::vector<unsigned char> encoded  = {};     // an image by URI as its file was read; empty: not read
};
struct gltf_camera {
  std::string name = "", type = "";
  double      yfov = 0, aspect = 0;
};
struct gltf_light {
  std::string type = "";
  double      color[3] = {1, 1, 1};
  int         color_count = 0;
};

// Records that a city's document holds millions of, kept in blocks of a
// few thousand: they grow without being moved, so each is written once and
// no memory is touched twice (a growing array copies itself into fresh
// memory again and again, and touching fresh memory is much of a big
// document's load).
template <typename T>
class gltf_records {
 public:
  static constexpr size_t block_size = 4096;

  size_t   size() const { return count; }
  T&       operator[](size_t i) { return blocks[i / block_size][i % block_size]; }
  const T& operator[](size_t i) const { return blocks[i / block_size][i % block_size]; }
  T&       emplace_back() {
    if (blocks.empty() || blocks.back().size() == block_size) {
      blocks.emplace_back();
      blocks.back().reserve(block_size);
    }
    count++;
    return blocks.back().emplace_back();
  }
  void push_back(T value) { emplace_back() = std::move(value); }
  // Takes over the records of `other` after these, each block of it freed
  // once moved; `other` is left without records.
  void append(gltf_records&& other) {
    for (auto& block : other.blocks) {
      for (auto& record : block) emplace_back() = std::move(record);
      std::vector<T>().swap(block);
    }
    other = gltf_records{};
  }
  // Grows to `n` records; never shrinks.
  void resize(size_t n) {
    while (count < n) emplace_back();
  }
  // Frees the records of block `b` (those from b * block_size on) for good:
  // a reader that is done with them makes room for what it makes of them.
  // The size stays; the records of the block must not be read again.
  void   release_block(size_t b) { std::vector<T>().swap(blocks[b]); }
  size_t block_count() const { return blocks.size(); }

  struct const_iterator {
    const gltf_records* records;
    size_t              at;
    const T&        operator*() const { return (*records)[at]; }
    const_iterator& operator++() { return at++, *this; }
    bool            operator!=(const const_iterator& other) const { return at != other.at; }
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, count}; }

 private:
  std::vector<std::vector<T>> blocks = {};
  size_t                      count  = 0;
};

struct gltf_document {
  gltf_records<gltf_accessor>   accessors  = {};
  std::vector<gltf_view>        views      = {};
  std::vector<gltf_buffer>      buffers    = {};
  gltf_records<gltf_mesh>       meshes     = {};
  gltf_records<gltf_node>       nodes      = {};
  gltf_records<gltf_transform>  transforms = {};
  std::vector<std::vector<int>> scenes     = {};  // root nodes
  std::vector<gltf_material>    materials  = {};
  std::vector<gltf_texture>     textures   = {};
  std::vector<gltf_image>       images     = {};
  std::vector<gltf_camera>      cameras    = {};
  std::vector<gltf_light>       lights     = {};
  int                           scene      = -1;  // the default one
  scene_georeference            georeference = {};
  // Shapes are named after their meshes ("mesh3", "roof:1"); a viewer of a
  // city with millions of shapes leaves them unnamed.
  bool        name_shapes = true;
  std::string unread_file = "";  // the first referenced file that could not be read
};

// Where the conversion reads buffer bytes.
struct gltf_byte_source {
  virtual ~gltf_byte_source() = default;
  // The bytes [offset, offset + length) of the buffer of view `index`
  // (`view`), already checked to lie inside the buffer's length; null on a
  // read error. The pointer stays valid until the next call.
  virtual const unsigned char* bytes(int index, const gltf_view& view, uint64_t offset,
                                     uint64_t length) = 0;
  // Every mesh has been read: what was kept for reading them can go.
  virtual void meshes_read() {}
};

// The scene of a document, which the conversion uses up: each block of
// accessors, meshes, nodes and transforms is freed once nothing further
// reads it, and node names move into the instances. False with `error` set
// ("FILE: parse error (...)", "FILE: read error") when a record refers to
// something missing or out of range. Progress: ("load scene", done, total) by meshes.
bool convert_gltf_document(const std::string& filename, gltf_document& doc,
                           gltf_byte_source& source, loaded_scene& scene, std::string& error,
                           const progress_callback& progress = {});
