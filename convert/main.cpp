// convert: reads a scene of any format the viewer shows (".json", ".obj",
// ".stl", ".gltf", ".glb", ".pbrt") and writes it in the format that the
// output file's extension names: ".obj" (with its ".mtl"), ".pbrt", ".gltf"
// (with its ".bin" and images), ".glb", ".json", ".stl" or ".ply" (the
// first shape). What the reader skipped and what the output format cannot
// hold are said once each on standard output.
//
// A JSON scene is not read whole: its document goes into a compact store
// and each shape is read from its file when the writer comes to it, so a
// city of a million features converts in a fraction of the memory the
// whole scene takes.
//
// Progress goes to standard output; a failure is one line on standard error
// and exit status 1, with no output file left that looks complete.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "scene/export_scene.h"
#include "scene/json_scene.h"
#include "scene/scene_files.h"
#include "scene/scene_io.h"
#include "scene/stl_scene.h"
#include "support/cli.h"
#include "support/console.h"
#include "support/files.h"
#include "support/platform.h"

static int fail(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

// The output formats written from a store, a shape at a time.
static bool writes_from_store(const std::string& output) {
  return has_store_writer(output) || has_extension(output, ".stl") ||
         has_extension(output, ".ply");
}

// True when both name one file that exists: converting a scene onto itself
// reads every shape before the first is written.
static bool same_file(const std::string& a, const std::string& b) {
  auto ec = std::error_code{};
  return std::filesystem::equivalent(std::filesystem::u8path(a), std::filesystem::u8path(b), ec);
}

// True when a ".pbrt" output would put its meshes into the "shapes" folder
// of the JSON scene it is made from: the prepared meshes (frames applied,
// flat layers lifted) would replace the scene's own shapes.
static bool overwrites_input_shapes(const std::string& input, const std::string& output) {
  if (!has_extension(input, ".json") || !has_extension(output, ".pbrt")) return false;
  auto folder = [](const std::string& path) {
    auto dirname = path_dirname(path);
    return std::filesystem::u8path(dirname.empty() ? "." : dirname);
  };
  auto ec = std::error_code{};
  return std::filesystem::equivalent(folder(input), folder(output), ec);
}

// What the shapes read so far held that some formats cannot.
struct shapes_held {
  bool texcoords      = false;
  bool lines_or_points = false;
};

// unsaved_parts for a scene read into `scene` and `store`: one record of
// each kind the scene has stands for all of them, one shape for what the
// shapes held.
static std::vector<std::string> store_unsaved_parts(const std::string& output,
                                                    const scene_data& scene,
                                                    const json_scene_store& store,
                                                    const shapes_held& held) {
  auto probe = scene_data{};
  if (!scene.cameras.empty()) add_camera(probe);
  if (!scene.environments.empty()) add_environment(probe);
  if (!scene.textures.empty()) add_texture(probe);
  if (!store.materials.empty()) add_material(probe);
  if (held.texcoords || held.lines_or_points) {
    auto shape = add_shape(probe);
    if (held.texcoords) shape->texcoords = {{0, 0}};
    if (held.lines_or_points) shape->points = {0};
  }
  auto parts = unsaved_parts(output, probe);
  // The single-shape format keeps the first of the store's shapes.
  if (has_extension(output, ".ply") && store.shapes.size() > 1)
    parts.insert(parts.begin(), "only the first of " + std::to_string(store.shapes.size()) +
                                    " shapes, without its placement");
  return parts;
}

static bool make_json_folders(const std::string& output, bool shapes, bool textures,
                              std::string& error) {
  auto folder = path_dirname(output);
  if (!make_directory(folder, error)) return false;
  if (!has_extension(output, ".json")) return true;
  if (shapes && !make_directory(path_join(folder, "shapes"), error)) return false;
  return !textures || make_directory(path_join(folder, "textures"), error);
}

// A JSON scene to a format written from its store.
static int convert_from_store(const std::string& input, const std::string& output) {
  auto scene = scene_data{};
  auto store = json_scene_store{};
  auto error = std::string{};
  if (!load_json_scene_store(input, scene, store, error, print_progress)) return fail(error);
  auto held = shapes_held{};
  store.shape_read = [&held](const scene_shape& shape) {
    if (!shape.texcoords.empty()) held.texcoords = true;
    if (!shape.lines.empty() || !shape.points.empty()) held.lines_or_points = true;
  };
  // What the document tells is said before the shapes are read, what the
  // shapes hold once they are written.
  auto said = store_unsaved_parts(output, scene, store, held);
  for (auto& part : said) print_line(output + ": " + part + " (the format cannot hold it)");
  if (auto renamed = make_file_names_valid(scene))
    print_line(input + ": " + std::to_string(renamed) + " names changed to be file names");

  if (!make_json_folders(output, !store.shapes.empty(), !scene.textures.empty(), error))
    return fail(error);
  auto saved = false;
  if (has_extension(output, ".json")) {
    saved = save_json_scene(output, scene, store, error, print_progress);
  } else if (has_extension(output, ".stl")) {
    saved = save_stl_scene(output, scene, store, error, print_progress);
  } else if (has_extension(output, ".ply")) {
    saved = save_first_shape(output, store, error, print_progress);
  } else {
    // The export writers prepare each shape as they take it.
    saved = save_scene(output, scene, store, error, print_progress);
  }
  // A shape file that could not be read is told as the reader tells it.
  if (!saved) {
    auto failure = store_read_failure(store);
    return fail(failure.empty() ? error : failure);
  }
  for (auto& part : store_unsaved_parts(output, scene, store, held))
    if (std::find(said.begin(), said.end(), part) == said.end())
      print_line(output + ": " + part + " (the format cannot hold it)");
  return 0;
}

// Any scene read whole, then written.
static int convert_whole(const std::string& input, const std::string& output) {
  auto error = std::string{};
  auto loaded = loaded_scene{};
  if (!read_scene(input, loaded, error, print_progress)) return fail(error);
  auto& scene = loaded.scene;
  for (auto& warning : loaded.warnings) print_line(input + ": " + warning);
  if (loaded.has_sun)
    print_line(input + ": the sun it states is not kept (scenes hold no directional light)");
  for (auto& part : unsaved_parts(output, scene))
    print_line(output + ": " + part + " (the format cannot hold it)");
  // Names from free-text formats become the file names of shapes and images.
  if (auto renamed = make_file_names_valid(scene))
    print_line(input + ": " + std::to_string(renamed) + " names changed to be file names");

  // The JSON writer expects its folders; the other writers make their own.
  if (!make_json_folders(output, !scene.shapes.empty(), !scene.textures.empty(), error))
    return fail(error);
  if (is_export_format(output)) prepare_export_scene(scene);
  if (!save_scene(output, scene, error, print_progress)) return fail(error);
  return 0;
}

int main(int argc, const char** argv) {
  utf8_command_line(argc, argv);
  auto input = std::string{}, output = std::string{};
  auto cli = new_command_line("convert", "Convert scene");
  declare_option(cli, "--scene,-s", input, "input scene", true);
  declare_option(cli, "--output,-o", output, "output scene", true);
  auto error = std::string{};
  auto args = std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (!parse_arguments(cli, args, error)) {
    // The error on its own line of standard error, the usage where the
    // help request puts it.
    print_line("");
    print_line(command_usage(cli));
    return fail("error: " + error);
  }
  if (cli.help) {
    print_line(command_usage(cli));
    return 0;
  }

  // A format we cannot write is known before anything is read.
  if (!is_writable_scene(output))
    return fail(output + ": unknown format (" + format_list(format_kind::scene, true) + ")");
  if (overwrites_input_shapes(input, output))
    return fail(output + ": would overwrite the shapes of " + input +
                "; write it into another folder");
  if (has_extension(input, ".json") && writes_from_store(output) && !same_file(input, output))
    return convert_from_store(input, output);
  return convert_whole(input, output);
}
