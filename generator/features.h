#pragma once
// The records the GeoJSON reader makes: one per polygon ring, multi-polygon
// polygon, line segment or tree.

#include <cstdint>
#include <string>
#include <vector>

#include "scene/math.h"

enum struct feature_kind : int32_t {
  building   = 0,
  road       = 1,
  pedestrian = 2,
  water      = 3,
  waterway   = 4,
  green      = 5,
  forest     = 6,
  tree       = 8,  // 7 is never assigned
  ignored    = 9,  // never stored
};

// roof_shape values
constexpr int roof_none = 0, roof_flat = 1, roof_pointed = 2;
// tree_type values
constexpr int tree_generic = 0, tree_palm = 1, tree_oak = 2, tree_pine = 3,
              tree_cypress = 4;

struct city_feature {
  std::string  name        = "";
  feature_kind kind        = feature_kind::ignored;
  int          roof_shape  = roof_none;
  int          tree_type   = tree_generic;
  int          landmark    = 0;   // 1 for a historic building or an attraction
  std::string  colour      = "";  // building:colour of a landmark, as written
  int          levels      = 0;   // storeys, polygons only
  float        height      = 0;   // scene units, set by the normalisation
  float        roof_height = 0;   // scene units
  float        width       = 0;   // line width; 0 for areas and trees
  // Longitude and latitude in degrees as read (a ring with its closing
  // point, a segment's four-point outline, a tree's single position), in
  // scene units once the collection is normalised.
  std::vector<vec2d>              outline = {};
  std::vector<std::vector<vec2d>> holes   = {};  // multi-polygons only
};

struct city_features {
  std::string               name     = "";
  std::vector<city_feature> features = {};
  // Only for load_geojson, which maps every record again after each file:
  // the degrees of the first `degrees_records` records, their outline and
  // hole points in record order. Reading with read_geojson leaves it empty.
  std::vector<vec2d> degrees         = {};
  size_t             degrees_records = 0;
};
