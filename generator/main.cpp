// blockgen: turns a folder of OpenStreetMap extracts (GeoJSON, .osm, .osm.pbf)
// into a city scene.

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "generator/city.h"
#include "generator/city_store.h"
#include "generator/geojson.h"
#include "generator/georeference.h"
#include "generator/osm_file.h"
#include "scene/export_scene.h"
#include "scene/json_scene.h"
#include "scene/scene_io.h"
#include "scene/scene_stats.h"
#include "support/cli.h"
#include "support/console.h"
#include "support/files.h"
#include "support/platform.h"

int main(int argc, const char** argv) {
  utf8_command_line(argc, argv);
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
  // GeoJSON extracts of any of the usual dialects, and OpenStreetMap files
  // as extract services publish them.
  for (auto& entry : entries) {
    auto kind = classify_geojson_entry(entry);
    if (kind == geojson_entry::skip || (has_osm_name(entry) && !is_osm_file(entry))) {
      print_line(entry + ": not a regular file, skipped");
      continue;
    }
    if (kind == geojson_entry::read) {
      if (!read_geojson(entry, features, error, scene_size)) fatal(error);
    } else if (is_osm_file(entry)) {
      if (!read_osm_file(entry, features, error, scene_size)) fatal(error);
    }
  }
  // One pass after the last file gives every record the same mapping.
  make_names_unique(features);
  auto georeference = map_georeference(features, scene_size);
  normalize_features(features, scene_size);
  print_progress("load geojsons", 1, 1);

  // Every format with a writer that takes a compact store is written from
  // one: the city is built a part at a time and each part moved into the
  // store, so a city of a million features never sits in memory as scene
  // records (the export writers prepare the store's shapes as they take
  // them). The statistics, and the formats without such a writer, take the
  // whole scene.
  auto compact = has_store_writer(output) && !info;
  auto scene = scene_data{};
  auto store = json_scene_store{};
  print_progress("convert scene", 0, 1);
  if (compact) {
    if (!build_city_store(scene, store, features, dirname, error)) fatal(error);
  } else {
    if (!build_city_scene(scene, features, dirname, error)) fatal(error);
  }
  scene.georeference = georeference;
  // The records hold all the features gave them: a city's features are as
  // big as a fifth of its scene, not needed while it is written.
  features = city_features{};
  if (!compact && is_export_format(output)) prepare_export_scene(scene);
  print_progress("convert scene", 1, 1);

  if (info) {
    print_line("scene stats ------------");
    for (auto& line : format_scene_stats(scene)) print_line(line);
  }

  auto folder = path_dirname(output);
  auto has_shapes = compact ? !store.shapes.empty() : !scene.shapes.empty();
  if (!make_directory(folder, error)) fatal(error);
  if (has_shapes && !make_directory(path_join(folder, "shapes"), error)) fatal(error);
  if (!scene.textures.empty() && !make_directory(path_join(folder, "textures"), error))
    fatal(error);

  store.written_once = true;  // the process ends after the save
  auto saved = compact ? save_scene(output, scene, store, error, print_progress)
                       : save_scene(output, scene, error, print_progress);
  if (!saved) fatal(error);
  // Freeing millions of records one by one would only delay the end: the
  // process ends here and hands its memory back whole.
  exit_now(0);
}
