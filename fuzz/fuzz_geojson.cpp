// GeoJSON text through the reader, the tag rules, the renaming, the mapping
// onto the scene and the caps, walls and roofs of every record.
#include "generator/buildings.h"
#include "generator/geojson.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto features = city_features{};
  auto error = std::string{};
  if (!read_geojson_text("fuzz.geojson", {(const char*)data, size}, features, error, 50)) return 0;
  make_names_unique(features);
  normalize_features(features, 50);
  auto scene = scene_data{};
  auto textures = building_textures{};
  auto triangles = 0, quads = 0;
  for (auto& record : features.features) {
    if (record.kind != feature_kind::tree)
      build_area_feature(scene, record, textures, error, triangles, quads);
  }
  return 0;
}
