#include "scene/gltf_scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "scene/export_scene.h"
#include "scene/gltf_writer.h"
#include "scene/scene_files.h"
#include "support/files.h"

namespace gltf_writing {

// Parts are written and copied in blocks of this size: ten parts are open
// at once, so their buffers stay small.
const size_t part_block = size_t{1} << 18;

stream_part::~stream_part() {
  if (!temp.empty()) remove_file(temp);
}

bool stream_part::open(const std::string& beside, std::string& error) {
  return open_hidden_file(beside, file, error);
}

bool stream_part::flush(bool all, std::string& error) {
  if (pending.empty() || (!all && pending.size() < part_block)) return true;
  if (!write_hidden_text(file, pending, error)) return false;
  written += pending.size();
  pending.clear();
  return true;
}

bool stream_part::close(std::string& error) {
  return flush(true, error) && close_hidden_file(file, temp, error);
}

namespace {

// The file being assembled from text and closed parts.
struct assembled_file {
  hidden_file  file;
  std::string  buffer = "";
  std::string& error;

  explicit assembled_file(std::string& error) : error(error) {}
  bool flush(bool all = false) {
    if (buffer.empty() || (!all && buffer.size() < part_block)) return true;
    if (!write_hidden_text(file, buffer, error)) return false;
    buffer.clear();
    return true;
  }
  bool add(const std::string& text) {
    buffer += text;
    return flush();
  }
  bool zeros(uint64_t count) {
    buffer.append((size_t)count, '\0');
    return flush();
  }
  // A closed part, removed once copied.
  bool add(stream_part& part) {
    auto ok = flush(true) && append_hidden_file(file, part.temp, error);
    remove_file(part.temp);
    part.temp.clear();
    return ok;
  }
};

// A piece of the document: text, or a part streamed while it was built.
struct piece {
  std::string  text = "";
  stream_part* part = nullptr;
  uint64_t     size() const { return part ? part->written : text.size(); }
};

uint64_t aligned(uint64_t n) { return (n + 3) / 4 * 4; }

// The buffer: the views that hold data, each at a multiple of 4 bytes, then
// the images when they go into the buffer too.
struct buffer_layout {
  int                   view_index[view_kinds]  = {};
  uint64_t              view_offset[view_kinds] = {};
  uint64_t              view_length[view_kinds] = {};
  int                   views_used              = 0;
  std::vector<uint64_t> image_offset            = {};
  uint64_t              length                  = 0;
};

buffer_layout lay_out_buffer(const gltf_builder& builder, bool with_images) {
  auto layout = buffer_layout{};
  auto offset = uint64_t{0};
  for (int v = 0; v < view_kinds; v++) {
    layout.view_length[v] = builder.views[v].written;
    layout.view_index[v] = layout.view_length[v] == 0 ? -1 : layout.views_used++;
    layout.view_offset[v] = offset;
    offset += aligned(layout.view_length[v]);
  }
  for (auto& image : builder.images) {
    layout.image_offset.push_back(offset);
    if (with_images) offset += aligned(image.png.size());
  }
  layout.length = offset;
  return layout;
}

// The accessors as text, from their records, into `text`.
bool write_accessors(gltf_builder& builder, const buffer_layout& layout, stream_part& text) {
  auto& error = builder.error;
  auto stream = open_file(builder.accessors.temp, "rb");
  if (!stream) return error = builder.filename + ": write error", false;
  static const char* types[view_kinds] = {"VEC3", "VEC3", "VEC2", "VEC4", "SCALAR", "SCALAR",
                                          "SCALAR"};
  static const int components[view_kinds] = {float_type,    float_type,     float_type,  float_type,
                                             unsigned_byte, unsigned_short, unsigned_int};
  // A few thousand at a time: the text of each is some 200 bytes, and the
  // text waiting to be written is the writer's largest buffer.
  auto records = std::vector<accessor_record>(8192);
  auto ok = true;
  auto first = true;
  while (ok) {
    auto got = std::fread(records.data(), sizeof(accessor_record), records.size(), stream);
    if (got == 0) break;
    // One text for every accessor: millions of them, each a few members.
    auto json = json_text{};
    for (size_t k = 0; k < got; k++) {
      auto& a = records[k];
      json.out.clear(), json.first.clear(), json.after_key = false;
      json.begin_object();
      json.member("bufferView", layout.view_index[a.view]);
      if (a.offset) json.member("byteOffset", (size_t)a.offset);
      json.member("componentType", components[a.view]);
      json.member("count", (size_t)a.count);
      json.member("type", types[a.view]);
      if (a.has_bounds) {
        json.key("min"), json.numbers({a.min.x, a.min.y, a.min.z});
        json.key("max"), json.numbers({a.max.x, a.max.y, a.max.z});
      }
      json.end_object();
      text.pending += first ? "\n" : ",\n";
      text.pending += json.out;
      first = false;
    }
    ok = text.flush(false, error);
  }
  if (ok && std::ferror(stream)) ok = false, error = builder.filename + ": write error";
  std::fclose(stream);
  remove_file(builder.accessors.temp);
  builder.accessors.temp.clear();
  return ok && text.close(error);
}

// Ends the text piece so far and puts a part after it, as the items of the
// array the text has just opened.
void splice(json_text& json, std::vector<piece>& pieces, stream_part& part) {
  pieces.push_back({json.out});
  json.out.clear();
  pieces.push_back({"", &part});
  json.first.back() = false;
}

// The asset, the extensions, the lights and the scene: everything before
// the nodes.
void append_head(json_text& json, const gltf_builder& builder) {
  auto& scene = builder.scene;
  json.begin_object();
  json.key("asset");
  json.begin_object();
  json.member("generator", scene_generator_name);
  json.member("version", "2.0");
  if (!scene.copyright.empty()) json.member("copyright", scene.copyright);
  json.end_object();
  if (!builder.extensions.empty()) {
    json.key("extensionsUsed");
    json.begin_array();
    for (auto& name : builder.extensions) json.string(name);
    json.end_array();
  }
  if (!builder.lights.empty()) {
    json.key("extensions");
    json.begin_object();
    json.key("KHR_lights_punctual");
    json.begin_object();
    json.key("lights");
    json.begin_array();
    for (auto& light : builder.lights) json.raw(light);
    json.end_array();
    json.end_object();
    json.end_object();
  }

  json.member("scene", 0);
  json.key("scenes");
  json.begin_array();
  json.begin_object();
  if (builder.node_count) {
    json.key("nodes");
    json.begin_array();
    for (size_t i = 0; i < builder.node_count; i++) json.integer((long long)i);
    json.end_array();
  }
  auto extras = scene_extras_json(scene);
  if (!extras.empty()) json.key("extras"), json.raw(extras);
  json.end_object();
  json.end_array();

}

// The views of the buffer, and the buffer.
void append_buffers(json_text& json, const gltf_builder& builder, const buffer_layout& layout,
                    const std::string& buffer_uri, bool with_images) {
  auto& images = builder.images;
  json.key("bufferViews");
  json.begin_array();
  for (int v = 0; v < view_kinds; v++) {
    if (layout.view_index[v] < 0) continue;
    json.begin_object();
    json.member("buffer", 0);
    json.member("byteOffset", (size_t)layout.view_offset[v]);
    json.member("byteLength", (size_t)layout.view_length[v]);
    if (view_strides[v]) json.member("byteStride", view_strides[v]);
    json.member("target", v <= colors_view ? array_buffer : element_array_buffer);
    json.end_object();
  }
  if (with_images) {
    for (size_t j = 0; j < images.size(); j++) {
      json.begin_object();
      json.member("buffer", 0);
      json.member("byteOffset", (size_t)layout.image_offset[j]);
      json.member("byteLength", images[j].png.size());
      json.end_object();
    }
  }
  json.end_array();
  json.key("buffers");
  json.begin_array();
  json.begin_object();
  json.member("byteLength", (size_t)layout.length);
  if (!buffer_uri.empty()) json.member("uri", buffer_uri);
  json.end_object();
  json.end_array();
}

std::vector<piece> document(gltf_builder& builder, const buffer_layout& layout,
                            stream_part& accessor_text, const std::string& buffer_uri,
                            const std::vector<std::string>& image_uris) {
  auto pieces = std::vector<piece>{};
  auto json = json_text{};
  append_head(json, builder);

  if (builder.node_count) {
    json.key("nodes");
    json.begin_array();
    splice(json, pieces, builder.nodes);
    json.end_array();
  }
  auto list = [&](const char* name, const std::vector<std::string>& items) {
    if (items.empty()) return;
    json.key(name);
    json.begin_array();
    for (auto& item : items) json.next_line(), json.raw(item);
    json.end_array();
  };
  list("cameras", builder.cameras);
  if (builder.mesh_count) {
    json.key("meshes");
    json.begin_array();
    splice(json, pieces, builder.meshes);
    json.end_array();
  }
  list("materials", builder.materials);

  auto& images = builder.images;
  if (!images.empty()) {
    json.key("samplers");
    json.begin_array();
    json.begin_object();
    json.member("magFilter", 9729);  // linear
    json.member("minFilter", 9987);  // linear, mipmaps linear
    json.end_object();
    json.end_array();
    json.key("textures");
    json.begin_array();
    for (size_t j = 0; j < images.size(); j++) {
      json.begin_object(), json.member("sampler", 0), json.member("source", j), json.end_object();
    }
    json.end_array();
    json.key("images");
    json.begin_array();
    for (size_t j = 0; j < images.size(); j++) {
      json.begin_object();
      json.member("name", images[j].texture->name);
      if (image_uris.empty()) {
        json.member("bufferView", (size_t)layout.views_used + j);
        json.member("mimeType", "image/png");
      } else {
        json.member("uri", image_uris[j]);
      }
      json.end_object();
    }
    json.end_array();
  }

  if (builder.accessor_count) {
    json.key("accessors");
    json.begin_array();
    splice(json, pieces, accessor_text);
    json.end_array();
  }

  if (layout.length > 0) append_buffers(json, builder, layout, buffer_uri, image_uris.empty());
  json.end_object();
  json.out += '\n';
  builder.invalid = builder.invalid || json.invalid;
  pieces.push_back({json.out});
  return pieces;
}

// URIs of the files beside a ".gltf": everything but unreserved characters
// and "/" is percent-encoded, so names with spaces or non-ASCII letters work.
std::string uri_of(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  auto uri = std::string{};
  for (auto c : path) {
    auto u = (unsigned char)c;
    if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      uri += c;
    } else {
      uri += '%', uri += hex[u >> 4], uri += hex[u & 15];
    }
  }
  return uri;
}

// The buffer's bytes: the views, each padded to 4 bytes, then the images
// when they go into the buffer.
bool add_buffer(assembled_file& out, gltf_builder& builder, const buffer_layout& layout,
                bool with_images) {
  auto at = uint64_t{0};
  for (int v = 0; v < view_kinds; v++) {
    if (!out.zeros(layout.view_offset[v] - at)) return false;
    if (layout.view_length[v] && !out.add(builder.views[v])) return false;
    at = layout.view_offset[v] + layout.view_length[v];
  }
  for (size_t j = 0; with_images && j < builder.images.size(); j++) {
    if (!out.zeros(layout.image_offset[j] - at) || !out.add(builder.images[j].png)) return false;
    at = layout.image_offset[j] + builder.images[j].png.size();
  }
  return out.zeros(layout.length - at);
}

bool add_pieces(assembled_file& out, std::vector<piece>& pieces) {
  for (auto& p : pieces)
    if (!(p.part ? out.add(*p.part) : out.add(p.text))) return false;
  return true;
}

// The ".glb": header, the JSON chunk padded with spaces, the binary chunk
// (whose parts all end at multiples of 4 bytes), assembled under a hidden
// name from the document's pieces and the buffer's parts.
bool write_glb(const std::string& filename, gltf_builder& builder, const buffer_layout& layout,
               std::vector<piece>& pieces, std::string& error) {
  auto out = assembled_file{error};
  auto temp = std::string{};
  auto text_length = uint64_t{0};
  for (auto& p : pieces) text_length += p.size();
  pieces.push_back({std::string((size_t)(aligned(text_length) - text_length), ' ')});
  text_length = aligned(text_length);
  auto total_length = 12 + 8 + text_length + (layout.length ? 8 + layout.length : 0);
  if (total_length > UINT32_MAX) {
    error = filename + ": too large for a GLB file (4 GiB); a .gltf file can hold it";
    return false;
  }
  auto head = std::string{};
  auto word = [&](uint64_t value) {
    auto v = (uint32_t)value;
    head.append((const char*)&v, 4);
  };
  head += "glTF", word(2), word(total_length);
  word(text_length), head += "JSON";
  if (!open_hidden_file(filename, out.file, error) || !out.add(head) ||
      !add_pieces(out, pieces))
    return false;
  if (layout.length) {
    head.clear();
    word(layout.length), head.append("BIN\0", 4);
    if (!out.add(head) || !add_buffer(out, builder, layout, true)) return false;
  }
  if (!out.flush(true) || !close_hidden_file(out.file, temp, error) ||
      !publish_file(temp, filename, error))
    return false;
  return true;
}

// The ".gltf" with its ".bin" and its images.
bool write_gltf(const std::string& filename, gltf_builder& builder, const buffer_layout& layout,
                std::vector<piece>& pieces, const std::vector<std::string>& image_files,
                std::string& error) {
  auto dirname = path_dirname(filename);
  auto basename = filename.substr(dirname.empty() ? 0 : dirname.size() + 1);
  auto stem = basename.substr(0, basename.size() - path_extension(basename).size());
  auto out = assembled_file{error};
  auto temp = std::string{};
  // The document appears under its name only once its buffer and images
  // are written; an earlier one is gone once they are replaced.
  auto inner = std::string{};
  auto fail = [&] {
    remove_file(filename);
    error = filename + ": error in " + inner;
    return false;
  };
  // The buffer goes into place with the document, once both are written: a
  // save that fails before leaves neither (nor an earlier pair).
  auto bin_file = pending_scene_file{};
  if (layout.length) {
    bin_file.path = path_join(dirname, stem + ".bin");
    auto bin = assembled_file{inner};
    if (!open_hidden_file(bin_file.path, bin.file, inner) ||
        !add_buffer(bin, builder, layout, false) || !bin.flush(true) ||
        !close_hidden_file(bin.file, bin_file.temp, inner))
      return fail();
  }
  if (!image_files.empty() && !make_directory(path_join(dirname, "textures"), inner))
    return fail();
  for (size_t j = 0; j < image_files.size(); j++)
    if (!save_file(image_files[j], builder.images[j].png, inner)) return fail();
  if (!open_hidden_file(filename, out.file, error) || !add_pieces(out, pieces) ||
      !out.flush(true) || !close_hidden_file(out.file, temp, error)) {
    remove_file(filename);
    return false;
  }
  if (!bin_file.temp.empty() && !publish_scene_file(bin_file, inner)) {
    remove_file(temp);
    return fail();
  }
  return publish_file(temp, filename, error);
}

bool save_gltf_files(const std::string& filename, const scene_data& scene,
                     const json_scene_store& store, const store_export_plan& plan,
                     std::string& error, const progress_callback& progress) {
  auto binary = has_extension(filename, ".glb");
  auto builder = gltf_builder{filename, scene, store, plan, error};
  for (auto& view : builder.views)
    if (!view.open(filename, error)) return false;
  for (auto part : {&builder.accessors, &builder.nodes, &builder.meshes})
    if (!part->open(filename, error)) return false;
  builder.uses.assign(store.shapes.size(), 0);
  builder.shape_facts.assign(store.shapes.size(), 0);
  for (auto& instance : plan.instances)
    if (instance.shape != json_store_none && builder.uses[instance.shape] < 2)
      builder.uses[instance.shape]++;

  // Images are counted once the materials are known: a first pass over the
  // instances lays out everything but the pixels. Records as the JSON scene
  // file keys them, so that a scene and the scene read back from its JSON
  // file give the same file.
  if (progress) progress("save scene", 0, 2);
  for (auto camera : records_by_name(scene.cameras)) builder.add_camera(*camera);
  for (size_t i = 0; i < plan.instances.size(); i++)
    if (!builder.add_instance(i)) return false;
  for (auto environment : records_by_name(scene.environments))
    if (environment->emission != vec3f{0, 0, 0}) builder.add_sun(*environment);
  for (auto& view : builder.views)
    if (!view.close(error)) return false;
  for (auto part : {&builder.accessors, &builder.nodes, &builder.meshes})
    if (!part->close(error)) return false;
  if (builder.invalid) {
    error = filename + ": invalid UTF-8 in a record name or the copyright";
    return false;
  }
  auto total = 2 + (int)builder.images.size();
  if (progress) progress("save scene", 1, total);
  if (!builder.encode_images(progress, total)) return false;

  auto dirname = path_dirname(filename);
  auto basename = filename.substr(dirname.empty() ? 0 : dirname.size() + 1);
  auto stem = basename.substr(0, basename.size() - path_extension(basename).size());
  auto image_files = std::vector<std::string>{}, image_uris = std::vector<std::string>{};
  if (!binary) {
    for (auto& image : builder.images) {
      if (!check_file_name(filename, "texture", image.texture->name, error)) return false;
      auto file = "textures/" + image.texture->name + (image.linear ? ".data.png" : ".png");
      image_files.push_back(path_join(dirname, file));
      image_uris.push_back(uri_of(file));
    }
  }
  auto layout = lay_out_buffer(builder, binary);
  auto accessor_text = stream_part{};
  if (!accessor_text.open(filename, error) || !write_accessors(builder, layout, accessor_text))
    return false;
  auto pieces = document(builder, layout, accessor_text, binary ? "" : uri_of(stem + ".bin"),
                         image_uris);
  if (builder.invalid) {
    error = filename + ": invalid UTF-8 in a record name or the copyright";
    return false;
  }

  if (binary ? !write_glb(filename, builder, layout, pieces, error)
             : !write_gltf(filename, builder, layout, pieces, image_files, error))
    return false;
  if (progress) progress("save done", total, total);
  return true;
}

}  // namespace

}  // namespace gltf_writing

bool save_gltf_scene(const std::string& filename, const scene_data& scene,
                     const json_scene_store& store, std::string& error,
                     const progress_callback& progress) {
  return run_scene_writer(filename, error, [&] {
    auto plan = store_export_plan{};
    // The bounds serve orthographic cameras only.
    auto ortho = std::any_of(scene.cameras.begin(), scene.cameras.end(),
                             [](auto& camera) { return camera->ortho; });
    if (!plan_store_export(filename, store, true, plan, error, ortho)) return false;
    return gltf_writing::save_gltf_files(filename, scene, store, plan, error, progress);
  });
}

bool save_gltf_scene(const std::string& filename, const scene_data& scene, std::string& error,
                     const progress_callback& progress) {
  return run_scene_writer(filename, error, [&] {
    // The scene's records, borrowed: the writer takes them as it takes a store's.
    auto store = json_scene_store{};
    add_scene_records(store, scene, {}, true);
    auto plan = store_export_plan{};
    if (!plan_store_export(filename, store, false, plan, error)) return false;
    plan.bounds = compute_scene_bounds(scene);
    return gltf_writing::save_gltf_files(filename, scene, store, plan, error, progress);
  });
}
