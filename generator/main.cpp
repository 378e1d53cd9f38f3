// blockgen: turns a folder of OpenStreetMap GeoJSON extracts into a city scene.

#include <string>

#include "generator/city.h"
#include "generator/geojson.h"
#include "scene/scene_io.h"
#include "scene/scene_stats.h"
#include "support/cli.h"
#include "support/console.h"
#include "support/files.h"

int main(int argc, const char** argv) {
  auto info = false, validate = false;
  auto copyright = std::string{}, output = std::string{"out.json"}, dirname = std::string{};

  auto cli = new_command_line("urbangen", "Process scene");
  declare_option(cli, "--info,-i", info, "print scene info");
  declare_option(cli, "--copyright,-c", copyright, "copyright string");
  declare_option(cli, "--validate/--no-validate", validate, "Validate scene");
  declare_option(cli, "--output,-o", output, "output scene");
  declare_option(cli, "dirname", dirname, "input directory", true);
  parse_command_line(cli, argc, argv);

  // The whole map is normalised onto a 50 x 50 square centred on the origin.
  const float scene_size = 50;
  auto features = city_features{};
  auto error = std::string{};

  print_progress("load geojsons", 0, 1);
  auto entries = std::vector<std::string>{};
  if (!list_directory(dirname, entries, error)) fatal(error);
  for (auto& entry : entries) {
    if (!is_geojson_file(entry)) continue;
    if (!read_geojson(entry, features, error, scene_size)) fatal(error);
  }
  // One pass after the last file gives every record the same mapping.
  make_names_unique(features);
  normalize_features(features, scene_size);
  print_progress("load geojsons", 1, 1);

  auto scene = scene_data{};
  print_progress("convert scene", 0, 1);
  if (!build_city_scene(scene, features, dirname, error)) fatal(error);
  print_progress("convert scene", 1, 1);

  if (info) {
    print_line("scene stats ------------");
    for (auto& line : format_scene_stats(scene)) print_line(line);
  }

  auto folder = path_dirname(output);
  if (!make_directory(folder, error)) fatal(error);
  if (!scene.shapes.empty() && !make_directory(path_join(folder, "shapes"), error))
    fatal(error);
  if (!scene.textures.empty() && !make_directory(path_join(folder, "textures"), error))
    fatal(error);

  if (!save_scene(output, scene, error, print_progress)) fatal(error);
  return 0;
}
