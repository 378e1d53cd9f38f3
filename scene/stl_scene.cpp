// STL: a bare list of triangles, as binary records or as ASCII facets.

#include "scene/stl_scene.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "scene/json_scene.h"
#include "scene/scene_files.h"
#include "support/files.h"

namespace {

// Three corners per triangle, not welded: the viewer shades every face flat.
void add_stl_instance(loaded_scene& scene, std::vector<vec3f>&& positions,
                      const std::string& name) {
  auto instance = add_complete_instance(scene.scene, name.empty() ? "stl" : name);
  instance->material->color = {0.7f, 0.7f, 0.7f};
  auto& shape = *instance->shape;
  shape.positions = std::move(positions);
  shape.triangles.resize(shape.positions.size() / 3);
  for (size_t i = 0; i < shape.triangles.size(); i++)
    shape.triangles[i] = {(int)(3 * i), (int)(3 * i + 1), (int)(3 * i + 2)};
}

float read_float_le(const char* bytes) {
  uint8_t b[4];
  std::memcpy(b, bytes, 4);
  auto bits = (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
  float value;
  std::memcpy(&value, &bits, 4);
  return value;
}

bool parse_binary(const std::string& filename, const std::string& data, loaded_scene& scene,
                  std::string& error) {
  auto count = (uint64_t)(uint8_t)data[80] | (uint64_t)(uint8_t)data[81] << 8 |
               (uint64_t)(uint8_t)data[82] << 16 | (uint64_t)(uint8_t)data[83] << 24;
  if (84 + 50 * count != data.size()) {
    error = filename + ": read error (the header counts " + std::to_string(count) +
            " triangles, the file holds " + std::to_string((data.size() - 84) / 50) + ")";
    return false;
  }
  if (count == 0) {
    error = filename + ": empty shape";
    return false;
  }
  auto positions = std::vector<vec3f>((size_t)count * 3);
  for (uint64_t t = 0; t < count; t++) {
    auto record = data.data() + 84 + 50 * t + 12;  // past the facet normal
    for (int k = 0; k < 3; k++) {
      auto& p = positions[(size_t)t * 3 + k];
      p = {read_float_le(record + 12 * k), read_float_le(record + 12 * k + 4),
           read_float_le(record + 12 * k + 8)};
      if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
        error = filename + ": parse error (triangle " + std::to_string(t + 1) +
                " has a coordinate that is not a finite number)";
        return false;
      }
    }
  }
  add_stl_instance(scene, std::move(positions), "stl");
  return true;
}

// Words of an ASCII file, with the line each starts on.
struct stl_words {
  const std::string& data;
  size_t             pos  = 0;
  int                line = 1;
  bool next(std::string_view& word) {
    while (pos < data.size() && std::isspace((unsigned char)data[pos])) {
      if (data[pos] == '\n') line++;
      pos++;
    }
    if (pos >= data.size()) return false;
    auto start = pos;
    while (pos < data.size() && !std::isspace((unsigned char)data[pos])) pos++;
    word = std::string_view(data).substr(start, pos - start);
    return true;
  }
};

bool parse_ascii(const std::string& filename, const std::string& data, loaded_scene& scene,
                 std::string& error) {
  auto words = stl_words{data};
  auto fail = [&](const std::string& what) {
    error = filename + ": parse error at line " + std::to_string(words.line) + " (" + what + ")";
    return false;
  };
  auto word = std::string_view{};
  auto expect = [&](std::string_view keyword) {
    if (!words.next(word)) return fail("the file ends before \"" + std::string(keyword) + "\"");
    if (word != keyword)
      return fail("\"" + std::string(keyword) + "\" expected, \"" + std::string(word) + "\" found");
    return true;
  };
  auto number = [&](float& value) {
    if (!words.next(word)) return fail("the file ends inside a facet");
    auto first = word.data(), last = word.data() + word.size();
    if (first != last && *first == '+') first++;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc{} || end != last || !std::isfinite(value))
      return fail("\"" + std::string(word) + "\" is not a number");
    return true;
  };

  if (!expect("solid")) return false;
  // The name runs to the end of the line.
  auto name_end = data.find('\n', words.pos);
  auto name = data.substr(words.pos, (name_end == std::string::npos ? data.size() : name_end) -
                                         words.pos);
  while (!name.empty() && std::isspace((unsigned char)name.back())) name.pop_back();
  while (!name.empty() && std::isspace((unsigned char)name.front())) name.erase(0, 1);
  words.pos = name_end == std::string::npos ? data.size() : name_end;

  auto positions = std::vector<vec3f>{};
  while (true) {
    if (!words.next(word)) return fail("the file ends without \"endsolid\"");
    if (word == "endsolid") break;
    if (word != "facet") return fail("\"facet\" expected, \"" + std::string(word) + "\" found");
    auto normal = vec3f{};
    if (!expect("normal") || !number(normal.x) || !number(normal.y) || !number(normal.z))
      return false;
    if (!expect("outer") || !expect("loop")) return false;
    for (int k = 0; k < 3; k++) {
      auto p = vec3f{};
      if (!expect("vertex") || !number(p.x) || !number(p.y) || !number(p.z)) return false;
      positions.push_back(p);
    }
    if (!expect("endloop") || !expect("endfacet")) return false;
  }
  if (positions.empty()) {
    error = filename + ": empty shape";
    return false;
  }
  add_stl_instance(scene, std::move(positions), name);
  return true;
}

}  // namespace

bool parse_stl_scene(const std::string& filename, const std::string& data, loaded_scene& scene,
                     std::string& error) {
  scene = loaded_scene{};
  // Binary files may begin with "solid" too: a size that matches the
  // triangle count decides for binary.
  auto starts_solid = false;
  auto first = data.find_first_not_of(" \t\r\n");
  if (first != std::string::npos) starts_solid = data.compare(first, 5, "solid") == 0;
  if (data.size() >= 84) {
    auto count = (uint64_t)(uint8_t)data[80] | (uint64_t)(uint8_t)data[81] << 8 |
                 (uint64_t)(uint8_t)data[82] << 16 | (uint64_t)(uint8_t)data[83] << 24;
    // Text holds no NUL byte; binary records nearly always do.
    auto text = data.find('\0') == std::string::npos;
    if (84 + 50 * count == data.size() || !starts_solid || !text)
      return parse_binary(filename, data, scene, error);
  }
  if (starts_solid) return parse_ascii(filename, data, scene, error);
  error = filename + ": read error (too short for a binary STL file)";
  return false;
}

namespace {

void append_float_le(std::string& bytes, float value) {
  auto bits = uint32_t{};
  std::memcpy(&bits, &value, 4);
  for (auto k = 0; k < 4; k++) bytes += (char)(uint8_t)(bits >> (8 * k));
}

void append_triangle(std::string& bytes, const vec3f& a, const vec3f& b, const vec3f& c) {
  for (auto v : {normalize(cross(b - a, c - a)), a, b, c}) {
    append_float_le(bytes, v.x);
    append_float_le(bytes, v.y);
    append_float_le(bytes, v.z);
  }
  bytes += std::string(2, '\0');  // attribute byte count
}

// The triangles and quads (split in two) of a shape placed by a frame;
// faces with a corner that addresses no vertex are left out.
void append_instance(std::string& bytes, const frame3f& frame, const scene_shape& shape,
                     uint64_t& count) {
  auto size  = (int)shape.positions.size();
  auto point = [&](int i) { return transform_point(frame, shape.positions[i]); };
  auto in_range = [&](int i) { return i >= 0 && i < size; };
  for (auto& t : shape.triangles) {
    if (!in_range(t.x) || !in_range(t.y) || !in_range(t.z)) continue;
    append_triangle(bytes, point(t.x), point(t.y), point(t.z));
    count++;
  }
  for (auto& q : shape.quads) {
    if (!in_range(q.x) || !in_range(q.y) || !in_range(q.z) || !in_range(q.w)) continue;
    append_triangle(bytes, point(q.x), point(q.y), point(q.z));
    count++;
    if (q.z == q.w) continue;  // a triangle stored as a quad
    append_triangle(bytes, point(q.x), point(q.z), point(q.w));
    count++;
  }
}

// The file's 80 bytes of header text and its triangle count.
std::string stl_header(uint64_t count) {
  auto header = std::string(84, '\0');
  auto text = std::string{"binary STL"};
  std::memcpy(&header[0], text.data(), text.size());
  for (auto k = 0; k < 4; k++) header[80 + k] = (char)(uint8_t)(count >> (8 * k));
  return header;
}

}  // namespace

bool save_stl_scene(const std::string& filename, const scene_data& scene, std::string& error,
                    const progress_callback& progress) {
  if (progress) progress("save scene", 0, 1);
  auto bytes = std::string(84, '\0');
  auto count = uint64_t{0};
  for (auto& instance : scene.instances) {
    auto shape = instance->shape;
    if (!shape) continue;
    append_instance(bytes, instance->frame, *shape, count);
  }
  if (count > 0xffffffffu) {
    error = filename + ": write error (more than 4294967295 triangles)";
    return false;
  }
  bytes.replace(0, 84, stl_header(count));
  if (!save_file(filename, bytes, error)) return false;
  if (progress) progress("save done", 1, 1);
  return true;
}

namespace {

// The shapes of a store as its instances use them: a shape that several
// instances share (a tree model) is read once and kept, as long as the
// kept shapes stay small; every other shape is read when its instance comes.
struct store_shapes {
  const json_scene_store&                        store;
  std::unordered_map<std::string_view, uint32_t> by_name = {};
  std::vector<uint32_t>                          uses    = {};
  std::unordered_map<uint32_t, scene_shape>      kept    = {};
  size_t                                         kept_bytes = 0;
  scene_shape                                    scratch = {};

  static constexpr size_t max_kept_bytes = size_t{256} << 20;

  explicit store_shapes(const json_scene_store& store) : store(store), uses(store.shapes.size()) {
    by_name.reserve(store.shapes.size());
    // The last shape of a name is the one the name stands for.
    for (size_t i = 0; i < store.shapes.size(); i++) {
      auto& name = store.names[store.shapes[i].name];
      by_name[std::string_view{name.data, name.size}] = (uint32_t)i;
    }
    for (auto& instance : store.instances)
      if (auto index = find(instance.shape); index != json_store_none) uses[index]++;
  }

  uint32_t find(uint32_t name) const {
    if (name == json_store_none) return json_store_none;
    auto& text = store.names[name];
    auto found = by_name.find(std::string_view{text.data, text.size});
    return found == by_name.end() ? json_store_none : found->second;
  }

  const scene_shape* get(uint32_t index, std::string& error) {
    if (auto found = kept.find(index); found != kept.end()) return &found->second;
    auto shape = store_shape_geometry(store, index, scratch, error);
    if (!shape || uses[index] < 2) return shape;
    auto bytes = shape->positions.size() * sizeof(vec3f) + shape->triangles.size() * sizeof(vec3i) +
                 shape->quads.size() * sizeof(vec4i);
    if (kept_bytes + bytes > max_kept_bytes) return shape;
    kept_bytes += bytes;
    auto& copy = kept[index];
    copy.positions = shape->positions, copy.triangles = shape->triangles;
    copy.quads = shape->quads;
    return &copy;
  }
};

bool save_store_stl(const std::string& filename, const json_scene_store& store,
                    std::string& error, const progress_callback& progress) {
  if (progress) progress("save scene", 0, 1);
  auto shapes = store_shapes{store};
  auto file = hidden_file{};
  if (!open_hidden_file(filename, file, error)) return false;
  auto bytes = stl_header(0);
  auto count = uint64_t{0};
  auto inner = std::string{};
  for (auto& instance : store.instances) {
    auto index = shapes.find(instance.shape);
    if (index == json_store_none) continue;
    auto shape = shapes.get(index, inner);
    if (!shape) return error = filename + ": error in " + inner, false;
    append_instance(bytes, store.frames[instance.frame], *shape, count);
    if (bytes.size() >= (size_t{1} << 20)) {
      if (!write_hidden_text(file, bytes, error)) return false;
      bytes.clear();
    }
  }
  if (count > 0xffffffffu) {
    error = filename + ": write error (more than 4294967295 triangles)";
    return false;
  }
  auto temp = std::string{};
  if (!write_hidden_text(file, bytes, error) ||
      !rewrite_hidden_text(file, 0, stl_header(count), error) ||
      !close_hidden_file(file, temp, error) || !publish_file(temp, filename, error))
    return false;
  if (progress) progress("save done", 1, 1);
  return true;
}

}  // namespace

bool save_stl_scene(const std::string& filename, const scene_data&, const json_scene_store& store,
                    std::string& error, const progress_callback& progress) {
  return run_scene_writer(filename, error,
                          [&] { return save_store_stl(filename, store, error, progress); });
}
