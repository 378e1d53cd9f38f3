// convert: reads a JSON scene and writes it in the format that the output
// file's extension names: ".obj" (with its ".mtl"), ".pbrt", ".gltf" (with
// its ".bin" and images), ".glb", ".json" or ".ply" (the first shape).
//
// Progress goes to standard output; a failure is one line on standard error
// and exit status 1, with no output file left that looks complete.

#include <cstdio>
#include <string>
#include <vector>

#include "scene/export_scene.h"
#include "scene/scene_io.h"
#include "support/cli.h"
#include "support/console.h"
#include "support/files.h"
#include "support/platform.h"

static int fail(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

static bool is_output_format(const std::string& filename) {
  for (auto ext : {".obj", ".pbrt", ".gltf", ".glb", ".json", ".ply"})
    if (has_extension(filename, ext)) return true;
  return false;
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
  if (!is_output_format(output))
    return fail(output + ": unknown format (.obj, .pbrt, .gltf, .glb, .json or .ply)");

  auto scene = scene_data{};
  if (!load_scene(input, scene, error, print_progress)) return fail(error);

  // The JSON writer expects its folders; the other writers make their own.
  auto folder = path_dirname(output);
  if (!make_directory(folder, error)) return fail(error);
  if (has_extension(output, ".json")) {
    if (!scene.shapes.empty() && !make_directory(path_join(folder, "shapes"), error))
      return fail(error);
    if (!scene.textures.empty() && !make_directory(path_join(folder, "textures"), error))
      return fail(error);
  }
  if (is_export_format(output)) prepare_export_scene(scene);
  if (!save_scene(output, scene, error, print_progress)) return fail(error);
  return 0;
}
