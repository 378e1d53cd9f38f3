// OpenStreetMap bytes (.osm XML or .osm.pbf, by FUZZ_OSM_FORMAT) through
// the OSM reader: relations, node locations, area assembly, the tag rules,
// the renaming and the mapping onto the scene.
#include "generator/geojson.h"
#include "generator/osm_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto features = city_features{};
  auto error    = std::string{};
  if (!read_osm_data("fuzz.osm", (const char*)data, size, osm_format::FUZZ_OSM_FORMAT, features,
                     error, 50))
    return 0;
  make_names_unique(features);
  normalize_features(features, 50);
  return 0;
}
