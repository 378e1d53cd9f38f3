// The pbrt-v3 scene text: a statement is a keyword, its fixed arguments and
// a list of typed parameters ("rgb Kd" [ 0.5 0.5 0.5 ]). What a viewer can
// show is read; rendering settings are passed over; anything else is
// skipped with one warning per kind of statement.

#include "scene/pbrt_scene.h"

#include <charconv>
#include <cmath>
#include <map>
#include <string_view>
#include <unordered_map>

#include "scene/ply.h"
#include "scene/shape.h"
#include "scene/matrix.h"
#include "support/files.h"

namespace {

enum struct token_kind { end, word, string, open, close };

struct token {
  token_kind       kind = token_kind::end;
  std::string_view text = {};
  int              line = 0;
};

// Words, quoted strings and brackets; '#' starts a comment to the line end.
struct lexer {
  std::string_view data;
  size_t           pos  = 0;
  int              line = 1;
  token            peeked = {};
  bool             has_peeked = false;

  token next() {
    if (has_peeked) {
      has_peeked = false;
      return peeked;
    }
    while (pos < data.size()) {
      auto c = data[pos];
      if (c == '\n') line++, pos++;
      else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') pos++;
      else if (c == '#') {
        while (pos < data.size() && data[pos] != '\n') pos++;
      } else break;
    }
    if (pos >= data.size()) return {token_kind::end, {}, line};
    auto c = data[pos];
    if (c == '[') return pos++, token{token_kind::open, data.substr(pos - 1, 1), line};
    if (c == ']') return pos++, token{token_kind::close, data.substr(pos - 1, 1), line};
    if (c == '"') {
      auto start = ++pos;
      while (pos < data.size() && data[pos] != '"' && data[pos] != '\n') pos++;
      if (pos >= data.size() || data[pos] != '"') return {token_kind::end, {}, -line};
      return {token_kind::string, data.substr(start, pos++ - start), line};
    }
    auto start = pos;
    while (pos < data.size()) {
      c = data[pos];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v' || c == '[' ||
          c == ']' || c == '"' || c == '#')
        break;
      pos++;
    }
    return {token_kind::word, data.substr(start, pos - start), line};
  }
  token peek() {
    if (!has_peeked) peeked = next(), has_peeked = true;
    return peeked;
  }
};

bool is_keyword(const token& t) {
  if (t.kind != token_kind::word || t.text.empty()) return false;
  auto c = t.text[0];
  return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && t.text != "true" &&
         t.text != "false";
}

bool to_number(std::string_view text, double& value) {
  auto first = text.data(), last = text.data() + text.size();
  if (first != last && *first == '+') first++;
  auto [end, ec] = std::from_chars(first, last, value);
  return ec == std::errc{} && end == last && std::isfinite(value);
}

struct parameter {
  std::string_view              type = {}, name = {};
  std::vector<double>           numbers = {};
  std::vector<std::string_view> strings = {};
};

struct statement {
  std::string_view              keyword = {};
  int                           line    = 0;
  std::vector<std::string_view> names   = {};  // fixed string arguments
  std::vector<double>           numbers = {};  // fixed number arguments
  std::vector<parameter>        params  = {};

  const parameter* find(std::string_view name, std::initializer_list<std::string_view> types) const {
    for (auto& p : params)
      if (p.name == name)
        for (auto type : types)
          if (p.type == type) return &p;
    return nullptr;
  }
  std::string text(std::string_view name, const std::string& fallback = "") const {
    auto p = find(name, {"string", "texture"});
    return p && !p->strings.empty() ? std::string(p->strings[0]) : fallback;
  }
  double number(std::string_view name, double fallback) const {
    auto p = find(name, {"float", "integer"});
    return p && !p->numbers.empty() ? p->numbers[0] : fallback;
  }
  bool color(std::string_view name, vec3f& value) const {
    auto p = find(name, {"rgb", "color"});
    if (!p || p->numbers.size() != 3) return false;
    value = {(float)p->numbers[0], (float)p->numbers[1], (float)p->numbers[2]};
    return true;
  }
  bool point(std::string_view name, vec3f& value) const {
    auto p = find(name, {"point", "point3", "vector", "vector3", "normal"});
    if (!p || p->numbers.size() != 3) return false;
    value = {(float)p->numbers[0], (float)p->numbers[1], (float)p->numbers[2]};
    return true;
  }
};

// Fixed string arguments of each statement that takes some.
int string_arguments(std::string_view keyword) {
  if (keyword == "Texture") return 3;
  static const char* one[] = {"Shape", "Material", "MakeNamedMaterial", "NamedMaterial",
                              "ObjectBegin", "ObjectInstance", "LightSource", "AreaLightSource",
                              "Camera", "Film", "Sampler", "Integrator", "SurfaceIntegrator",
                              "VolumeIntegrator", "PixelFilter", "Accelerator", "Renderer",
                              "Include", "Import", "CoordinateSystem", "CoordSysTransform",
                              "MakeNamedMedium", "Attribute", "ColorSpace"};
  for (auto name : one)
    if (keyword == name) return 1;
  return 0;
}

// Fixed number arguments; -16 is a matrix, bracketed or not.
int number_arguments(std::string_view keyword) {
  if (keyword == "Translate" || keyword == "Scale") return 3;
  if (keyword == "Rotate") return 4;
  if (keyword == "LookAt") return 9;
  if (keyword == "Transform" || keyword == "ConcatTransform") return -16;
  if (keyword == "TransformTimes") return 2;
  return 0;
}

// Statements without arguments.
bool takes_nothing(std::string_view keyword) {
  for (auto name : {"WorldBegin", "WorldEnd", "AttributeBegin", "AttributeEnd", "TransformBegin",
                    "TransformEnd", "ObjectEnd", "Identity", "ReverseOrientation"})
    if (keyword == name) return true;
  return false;
}

struct pbrt_texture {
  scene_texture* image = nullptr;
  vec3f          scale = {1, 1, 1};
};

struct object_part {
  scene_shape*    shape    = nullptr;
  scene_material* material = nullptr;
  mat4d           matrix   = {};
};

struct graphics_state {
  mat4d           ctm      = {};
  scene_material* material = nullptr;
  vec3f           emission = {0, 0, 0};
  bool            attribute = true;  // pushed by AttributeBegin (else TransformBegin)
};

struct pbrt_parser {
  const std::string&      main_file;
  const referenced_files& files;
  loaded_scene&             out;
  std::string&            error;
  const progress_callback& progress;

  std::string     file = "";  // the file being read, for messages
  graphics_state  state = {};
  std::vector<graphics_state> stack = {};
  std::map<std::string, mat4d>           coordinate_systems = {};
  std::map<std::string, scene_material*> named_materials    = {};
  std::map<std::string, pbrt_texture>    textures           = {};
  std::map<std::string, std::vector<object_part>> objects   = {};
  std::vector<object_part>* object = nullptr;  // inside ObjectBegin
  std::unordered_map<std::string, scene_texture*> images = {};
  std::unordered_map<std::string, scene_shape*>   meshes = {};
  std::map<std::pair<scene_material*, std::tuple<float, float, float>>, scene_material*> emitting = {};
  scene_material* default_material = nullptr;
  bool   has_camera = false;
  double camera_fov = 90;
  mat4d  camera_to_world = {};
  double film_aspect = 1280.0 / 720.0;
  int    depth = 0;     // of Include statements within each other
  int    includes = 0;  // read in all: a file that includes itself twice
                        // must not multiply the work without end

  bool fail(int line, const std::string& problem) {
    error = file + ": parse error at line " + std::to_string(line) + " (" + problem + ")";
    return false;
  }

  void warn_skipped(const statement& s, std::string_view what = {}) {
    auto kind = std::string(s.keyword);
    if (!what.empty()) kind += " \"" + std::string(what) + "\"";
    add_warning(out, main_file + ": warning: " + kind + " skipped");
  }

  std::string referenced(std::string_view name) const {
    auto path = std::string(name);
    for (auto& c : path)
      if (c == '\\') c = '/';
    return path_join(path_dirname(main_file), path);
  }

  scene_material* fallback() {
    if (!default_material) {
      default_material = add_material(out.scene, "default");
      default_material->color = {0.5f, 0.5f, 0.5f};  // the renderer's own default
    }
    return default_material;
  }

  // Reads a statement's arguments and parameters.
  bool read_statement(lexer& lex, const token& keyword, statement& s) {
    s.keyword = keyword.text;
    s.line = keyword.line;
    auto strings = string_arguments(s.keyword);
    for (int i = 0; i < strings; i++) {
      auto t = lex.next();
      if (t.kind != token_kind::string)
        return fail(t.line < 0 ? -t.line : keyword.line, std::string(s.keyword) + " needs a quoted name");
      s.names.push_back(t.text);
    }
    auto numbers = number_arguments(s.keyword);
    if (numbers != 0) {
      auto count = numbers < 0 ? -numbers : numbers;
      auto bracketed = lex.peek().kind == token_kind::open;
      if (bracketed) lex.next();
      for (int i = 0; i < count; i++) {
        auto t = lex.next();
        auto value = 0.0;
        if (t.kind != token_kind::word || !to_number(t.text, value))
          return fail(keyword.line, std::string(s.keyword) + " needs " + std::to_string(count) + " numbers");
        s.numbers.push_back(value);
      }
      if (bracketed && lex.next().kind != token_kind::close)
        return fail(keyword.line, std::string(s.keyword) + " needs " + std::to_string(count) + " numbers");
    }
    // Parameters: "type name" then one value or a bracketed list.
    while (lex.peek().kind == token_kind::string) {
      auto declaration = lex.next();
      auto text = declaration.text;
      auto space = text.find_first_of(" \t");
      auto p = parameter{};
      if (space != std::string_view::npos) {
        p.type = text.substr(0, space);
        auto rest = text.substr(space);
        auto first = rest.find_first_not_of(" \t");
        if (first != std::string_view::npos) p.name = rest.substr(first);
        while (!p.name.empty() && (p.name.back() == ' ' || p.name.back() == '\t')) p.name.remove_suffix(1);
      }
      if (p.type.empty() || p.name.empty() || p.name.find_first_of(" \t") != std::string_view::npos)
        return fail(declaration.line, "\"" + std::string(text) + "\" is not a parameter declaration");
      auto add_value = [&](const token& t) {
        if (t.kind == token_kind::string) {
          p.strings.push_back(t.text);
          return true;
        }
        if (t.kind == token_kind::word && (t.text == "true" || t.text == "false")) {
          p.strings.push_back(t.text);
          return true;
        }
        auto value = 0.0;
        if (t.kind != token_kind::word || !to_number(t.text, value)) return false;
        p.numbers.push_back(value);
        return true;
      };
      auto t = lex.next();
      if (t.kind == token_kind::open) {
        while (true) {
          t = lex.next();
          if (t.kind == token_kind::close) break;
          if (!add_value(t))
            return fail(t.line < 0 ? -t.line : declaration.line,
                        "the values of \"" + std::string(text) + "\" are not numbers or strings");
        }
      } else if (!add_value(t)) {
        return fail(declaration.line, "\"" + std::string(text) + "\" has no value");
      }
      s.params.push_back(std::move(p));
    }
    // Statements of other kinds may take other arguments: pass over them.
    if (strings == 0 && numbers == 0 && !takes_nothing(s.keyword)) {
      while (true) {
        auto t = lex.peek();
        if (t.kind == token_kind::end || is_keyword(t)) break;
        lex.next();
      }
    }
    return true;
  }

  void concat(const mat4d& m) { state.ctm = state.ctm * m; }

  bool apply_transform(const statement& s) {
    auto& n = s.numbers;
    auto k = s.keyword;
    if (k == "Translate") concat(translation_matrix(n[0], n[1], n[2]));
    else if (k == "Scale") concat(scale_matrix(n[0], n[1], n[2]));
    else if (k == "Rotate") concat(rotation_matrix(n[0], n[1], n[2], n[3]));
    else if (k == "LookAt") {
      // World to camera: the camera looks along +z with +y up.
      auto eye = vec3f{(float)n[0], (float)n[1], (float)n[2]};
      auto look = vec3f{(float)n[3], (float)n[4], (float)n[5]};
      auto up = normalize(vec3f{(float)n[6], (float)n[7], (float)n[8]});
      auto dir = normalize(look - eye);
      auto right = cross(up, dir);
      if (length(right) == 0 || length(dir) == 0) {
        add_warning(out, main_file + ": warning: LookAt with parallel directions skipped");
        return true;
      }
      right = normalize(right);
      auto new_up = cross(dir, right);
      auto camera_to_world = to_matrix(frame3f{right, new_up, dir, eye});
      auto world_to_camera = mat4d{};
      if (!invert(camera_to_world, world_to_camera)) return fail(s.line, "LookAt cannot be inverted");
      concat(world_to_camera);
    } else {
      // The file lists the matrix column by column.
      auto m = mat4d{};
      for (int i = 0; i < 16; i++) m.m[i] = n[(size_t)i];
      if (k == "Transform") state.ctm = m;
      else concat(m);
    }
    if (!is_finite(state.ctm)) return fail(s.line, std::string(k) + " gives a transform that is not finite");
    return true;
  }

  scene_texture* load_image_file(const std::string& name) {
    auto path = referenced(name);
    auto found = images.find(path);
    if (found != images.end()) return found->second;
    auto texture = add_texture(out.scene, name);
    auto inner = std::string{};
    if (!files.load_texture(path, *texture, inner)) {
      error = file + ": error in " + inner;
      return nullptr;
    }
    images[path] = texture;
    return texture;
  }

  // A colour parameter that is an rgb value or a named texture.
  bool color_of(const statement& s, std::string_view name, vec3f& color, scene_texture*& image) {
    if (s.color(name, color)) return true;
    if (auto p = s.find(name, {"texture"}); p && !p->strings.empty()) {
      auto found = textures.find(std::string(p->strings[0]));
      if (found != textures.end()) {
        color = found->second.scale;
        image = found->second.image;
      }
      return true;
    }
    if (auto p = s.find(name, {"float"}); p && p->numbers.size() == 1) {
      auto v = (float)p->numbers[0];
      color = {v, v, v};
      return true;
    }
    return false;
  }

  scene_material* make_material(const statement& s, const std::string& type,
                                const std::string& name) {
    auto material = add_material(out.scene, name);
    material->color = {0.5f, 0.5f, 0.5f};
    auto image = (scene_texture*)nullptr;
    auto found = false;
    for (auto key : {"Kd", "reflectance", "color", "Kr"})
      if (color_of(s, key, material->color, image)) {
        found = true;
        break;
      }
    if (!found && (type == "metal" || type == "conductor")) material->color = {0.8f, 0.8f, 0.8f};
    if (!found && (type == "glass" || type == "dielectric")) material->color = {0.9f, 0.95f, 1.0f};
    material->color_tex = image;
    return material;
  }

  bool define_texture(const statement& s) {
    auto name = std::string(s.names[0]);
    auto kind = s.names[2];
    auto texture = pbrt_texture{};
    if (kind == "imagemap") {
      auto file_name = s.text("filename");
      if (file_name.empty()) return fail(s.line, "imagemap texture \"" + name + "\" has no filename");
      texture.image = load_image_file(file_name);
      if (!texture.image) return false;
    } else if (kind == "scale" || kind == "mix") {
      // An image scaled by a colour (or the other way round).
      for (auto key : {"tex1", "tex2", "scale", "tex"}) {
        auto color = vec3f{1, 1, 1};
        auto image = (scene_texture*)nullptr;
        if (!color_of(s, key, color, image)) continue;
        texture.scale = texture.scale * color;
        if (image) texture.image = image;
        if (kind == "mix") break;
      }
    } else if (kind == "constant") {
      auto image = (scene_texture*)nullptr;
      color_of(s, "value", texture.scale, image);
    } else {
      warn_skipped(s, kind);
      texture.scale = {0.5f, 0.5f, 0.5f};
    }
    textures[name] = texture;
    return true;
  }

  scene_material* current_material() {
    auto material = state.material ? state.material : fallback();
    if (state.emission == vec3f{0, 0, 0}) return material;
    // Area lights glow in the colour they emit.
    auto key = std::make_pair(material, std::make_tuple(state.emission.x, state.emission.y, state.emission.z));
    auto found = emitting.find(key);
    if (found != emitting.end()) return found->second;
    auto copy = add_material(out.scene, material->name + ":emission");
    auto name = copy->name;
    *copy = *material;
    copy->name = name;
    copy->emission = state.emission;
    emitting[key] = copy;
    return copy;
  }

  bool mesh_from_params(const statement& s, scene_shape& shape) {
    auto p = s.find("P", {"point", "point3"});
    if (!p || p->numbers.empty() || p->numbers.size() % 3 != 0)
      return fail(s.line, "trianglemesh needs \"point P\" with three numbers per point");
    auto count = p->numbers.size() / 3;
    shape.positions.resize(count);
    for (size_t i = 0; i < count; i++)
      shape.positions[i] = {(float)p->numbers[3 * i], (float)p->numbers[3 * i + 1], (float)p->numbers[3 * i + 2]};
    auto indices = s.find("indices", {"integer"});
    if (!indices && count != 3) return fail(s.line, "trianglemesh needs \"integer indices\"");
    if (indices) {
      if (indices->numbers.size() % 3 != 0)
        return fail(s.line, "the number of indices is not a multiple of 3");
      auto& n = indices->numbers;
      for (size_t i = 0; i < n.size(); i++)
        if (!(n[i] >= 0 && n[i] < (double)count) || n[i] != std::floor(n[i]))
          return fail(s.line, "index " + std::to_string(i) + " addresses no point");
      shape.triangles.resize(n.size() / 3);
      for (size_t i = 0; i < shape.triangles.size(); i++)
        shape.triangles[i] = {(int)n[3 * i], (int)n[3 * i + 1], (int)n[3 * i + 2]};
    } else {
      shape.triangles = {{0, 1, 2}};
    }
    auto uv = s.find("uv", {"float", "point2"});
    if (!uv) uv = s.find("st", {"float", "point2"});
    if (uv && uv->numbers.size() == 2 * count) {
      // The renderer counts v upwards; ours runs down from the top row.
      shape.texcoords.resize(count);
      for (size_t i = 0; i < count; i++)
        shape.texcoords[i] = {(float)uv->numbers[2 * i], 1 - (float)uv->numbers[2 * i + 1]};
    }
    return true;
  }

  scene_shape* load_plymesh(const statement& s) {
    auto name = s.text("filename");
    if (name.empty()) return fail(s.line, "plymesh needs \"string filename\""), nullptr;
    auto path = referenced(name);
    auto found = meshes.find(path);
    if (found != meshes.end()) return found->second;
    auto data = std::string{}, inner = std::string{};
    auto model = ply_model{};
    if (!files.read(path, data, inner) || !parse_ply(path, data, model, inner)) {
      error = file + ": error in " + inner;
      return nullptr;
    }
    auto shape = add_shape(out.scene, name);
    if (!get_positions(model, shape->positions) || !get_triangles(model, shape->triangles) ||
        shape->positions.empty()) {
      error = file + ": error in " + path + ": empty shape";
      return nullptr;
    }
    if (!indices_in_range(shape->triangles, shape->positions.size())) {
      error = file + ": error in " + path + ": parse error";
      return nullptr;
    }
    get_texcoords(model, shape->texcoords, true);
    if (shape->texcoords.size() != shape->positions.size()) shape->texcoords.clear();
    meshes[path] = shape;
    return shape;
  }

  bool add_shape_statement(const statement& s) {
    auto kind = s.names[0];
    auto shape = (scene_shape*)nullptr;
    if (kind == "trianglemesh" || kind == "loopsubdiv") {
      shape = add_shape(out.scene, "");
      if (!mesh_from_params(s, *shape)) return false;
    } else if (kind == "plymesh") {
      shape = load_plymesh(s);
      if (!shape) return false;
    } else {
      warn_skipped(s, kind);
      return true;
    }
    auto material = current_material();
    if (object) {
      object->push_back({shape, material, state.ctm});
      return true;
    }
    auto instance = add_instance(out.scene, shape->name);
    instance->shape = shape;
    instance->material = material;
    instance->frame = to_frame(state.ctm);
    return true;
  }

  bool add_light(const statement& s) {
    auto kind = s.names[0];
    if (kind == "infinite") {
      auto environment = add_environment(out.scene, "");
      auto scale = vec3f{1, 1, 1}, radiance = vec3f{1, 1, 1};
      s.color("scale", scale);
      s.color("L", radiance);
      environment->emission = scale * radiance;
      // The light's image has z up and its longitude running from x to y;
      // ours has y up and runs from x to z.
      auto m = to_frame(state.ctm);
      environment->frame = {normalize(m.x), normalize(m.z), normalize(m.y), {0, 0, 0}};
      auto map = s.text("mapname", s.text("filename"));
      if (!map.empty()) {
        environment->emission_tex = load_image_file(map);
        if (!environment->emission_tex) return false;
      }
    } else if (kind == "distant") {
      auto from = vec3f{0, 0, 0}, to = vec3f{0, 0, 1}, color = vec3f{1, 1, 1};
      s.point("from", from);
      s.point("to", to);
      s.color("L", color);
      auto direction = normalize(transform_direction(state.ctm, from - to));
      if (!out.has_sun && length(direction) > 0) {
        out.has_sun = true;
        out.sun_direction = direction;
        out.sun_color = color;
      }
    } else {
      warn_skipped(s, kind);
    }
    return true;
  }

  bool include(const statement& s) {
    if (depth >= 16) return fail(s.line, "Include nested more than 16 deep");
    if (++includes > 1000) return fail(s.line, "more than 1000 files included");
    auto path = referenced(s.names[0]);
    auto data = std::string{}, inner = std::string{};
    if (!files.read(path, data, inner)) {
      error = file + ": error in " + inner;
      return false;
    }
    auto outer = file;
    depth++;
    auto ok = parse(path, data, false);
    depth--;
    file = outer;
    return ok;
  }

  bool apply(const statement& s) {
    auto k = s.keyword;
    if (number_arguments(k) && k != "TransformTimes") return apply_transform(s);
    if (k == "Identity") state.ctm = mat4d{};
    else if (k == "AttributeBegin" || k == "TransformBegin") {
      stack.push_back(state);
      stack.back().attribute = k == "AttributeBegin";
      if (stack.size() > 10000) return fail(s.line, "attributes nested too deeply");
    } else if (k == "AttributeEnd" || k == "TransformEnd") {
      if (stack.empty()) return fail(s.line, std::string(k) + " without a matching begin");
      if (k == "AttributeEnd") state = stack.back();
      else state.ctm = stack.back().ctm;
      stack.pop_back();
    } else if (k == "CoordinateSystem") coordinate_systems[std::string(s.names[0])] = state.ctm;
    else if (k == "CoordSysTransform") {
      auto found = coordinate_systems.find(std::string(s.names[0]));
      if (found != coordinate_systems.end()) state.ctm = found->second;
      else add_warning(out, main_file + ": warning: unknown coordinate system skipped");
    } else if (k == "WorldBegin") {
      state.ctm = mat4d{};
      coordinate_systems["world"] = state.ctm;
    } else if (k == "Camera") {
      if (!invert(state.ctm, camera_to_world)) return fail(s.line, "the camera transform cannot be inverted");
      coordinate_systems["camera"] = camera_to_world;
      has_camera = true;
      camera_fov = s.number("fov", 90);
      if (s.names[0] != "perspective")
        add_warning(out, main_file + ": warning: Camera \"" + std::string(s.names[0]) + "\" shown in perspective");
    } else if (k == "Film") {
      auto x = s.number("xresolution", 1280), y = s.number("yresolution", 720);
      if (x > 0 && y > 0) film_aspect = x / y;
    } else if (k == "Material") {
      state.material = make_material(s, std::string(s.names[0]), "");
    } else if (k == "MakeNamedMaterial") {
      auto name = std::string(s.names[0]);
      named_materials[name] = make_material(s, s.text("type"), name);
    } else if (k == "NamedMaterial") {
      auto found = named_materials.find(std::string(s.names[0]));
      if (found != named_materials.end()) state.material = found->second;
      else add_warning(out, main_file + ": warning: unknown NamedMaterial shown grey");
    } else if (k == "Texture") {
      return define_texture(s);
    } else if (k == "Shape") {
      return add_shape_statement(s);
    } else if (k == "ObjectBegin") {
      if (object) return fail(s.line, "ObjectBegin inside an object");
      stack.push_back(state);
      object = &objects[std::string(s.names[0])];
      object->clear();
    } else if (k == "ObjectEnd") {
      if (!object) return fail(s.line, "ObjectEnd without ObjectBegin");
      object = nullptr;
      if (!stack.empty()) state = stack.back(), stack.pop_back();
    } else if (k == "ObjectInstance") {
      if (object) return fail(s.line, "ObjectInstance inside an object");
      auto found = objects.find(std::string(s.names[0]));
      if (found == objects.end()) return fail(s.line, "object \"" + std::string(s.names[0]) + "\" is not defined");
      for (auto& part : found->second) {
        auto instance = add_instance(out.scene, std::string(s.names[0]));
        instance->shape = part.shape;
        instance->material = part.material;
        instance->frame = to_frame(state.ctm * part.matrix);
      }
    } else if (k == "LightSource") {
      return add_light(s);
    } else if (k == "AreaLightSource") {
      state.emission = {0, 0, 0};
      auto scale = vec3f{1, 1, 1};
      s.color("L", state.emission);
      s.color("scale", scale);
      state.emission = state.emission * scale;
    } else if (k == "Include" || k == "Import") {
      return include(s);
    } else if (k == "Sampler" || k == "Integrator" || k == "SurfaceIntegrator" ||
               k == "VolumeIntegrator" || k == "PixelFilter" || k == "Accelerator" ||
               k == "Renderer" || k == "WorldEnd" || k == "ReverseOrientation" ||
               k == "TransformTimes" || k == "ActiveTransform" || k == "Option" ||
               k == "ColorSpace") {
      // Rendering settings: nothing to show.
    } else {
      warn_skipped(s);
    }
    return true;
  }

  bool parse(const std::string& name, const std::string& data, bool report) {
    file = name;
    auto lex = lexer{data};
    auto last = -1;
    while (true) {
      auto t = lex.next();
      if (t.kind == token_kind::end) {
        if (t.line < 0) return fail(-t.line, "a quoted string does not end on its line");
        break;
      }
      if (!is_keyword(t)) return fail(t.line, "\"" + std::string(t.text) + "\" is not a statement");
      auto s = statement{};
      if (!read_statement(lex, t, s)) return false;
      if (!apply(s)) return false;
      file = name;
      if (report && progress && !data.empty()) {
        auto done = (int)(lex.pos * 100 / data.size());
        if (done != last && done < 100) progress("load scene", done, 100), last = done;
      }
    }
    return true;
  }

  void finish() {
    if (!has_camera) return;
    auto camera = add_camera(out.scene, "camera");
    auto& c = camera_to_world;
    // The renderer's camera looks along +z; ours along -z.
    camera->frame = {normalize(transform_direction(c, {1, 0, 0})),
                     normalize(transform_direction(c, {0, 1, 0})),
                     normalize(transform_direction(c, {0, 0, -1})),
                     transform_point(c, {0, 0, 0})};
    // The field of view spans the shorter side of the image.
    auto half = std::tan(camera_fov * 3.14159265358979 / 360);
    auto yfov = film_aspect >= 1 ? 2 * std::atan(half) : 2 * std::atan(half / film_aspect);
    set_camera_fov(*camera, (float)yfov, (float)film_aspect);
  }
};

}  // namespace

bool parse_pbrt_scene(const std::string& filename, const std::string& data,
                      const referenced_files& files, loaded_scene& scene, std::string& error,
                      const progress_callback& progress) {
  scene = loaded_scene{};
  auto parser = pbrt_parser{filename, files, scene, error, progress};
  if (!parser.parse(filename, data, true)) return false;
  if (parser.object) {
    error = filename + ": parse error (ObjectBegin without ObjectEnd)";
    return false;
  }
  parser.finish();
  return true;
}
