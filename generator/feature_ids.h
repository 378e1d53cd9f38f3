#pragma once
// The OSM id of a GeoJSON feature, as each exporter of the field writes it,
// in the one form Overpass data gives ("way/123"): record names are then the
// same whichever tool made the file.

#include <cstdint>
#include <string>

// How a member of a feature or geometry was found.
enum struct member : uint8_t { missing, null, wrong_type, present };

// A member that may name the feature: text, or a number kept as its
// decimal text.
struct id_member {
  member      state  = member::missing;
  bool        number = false;
  std::string text   = "";

  void set_text(const std::string& value) {
    state  = member::present;
    number = false;
    text.assign(value);
  }
  void set_number(const std::string& digits) {
    state  = member::present;
    number = true;
    text.assign(digits);
  }
  void set_other(bool is_null) {
    state  = is_null ? member::null : member::wrong_type;
    number = false;
  }
  // Missing again; the text keeps its storage for the next feature.
  void clear() {
    state  = member::missing;
    number = false;
  }
};

// The members that name a feature in the exports of the field.
struct feature_id_members {
  id_member at_id      = {};  // properties "@id": "way/123" (Overpass) or 123 (osmium)
  id_member at_type    = {};  // properties "@type": "way" (osmium, beside a number "@id")
  id_member feature    = {};  // the feature's own "id": "way/123", "w123", or a number
  id_member osm_id     = {};  // properties "osm_id" (GDAL: a node, a line's way, a relation)
  id_member osm_way_id = {};  // properties "osm_way_id" (GDAL: the way of an area)
  // The members inside "properties"; the feature's "id" stays.
  void clear_properties() {
    for (auto member : {&at_id, &at_type, &osm_id, &osm_way_id}) member->clear();
  }
};

// Which rule named the feature.
enum struct id_rule : uint8_t { overpass, osmium, feature_id, gdal, none };

// The id by the first rule that applies:
// 1. "@id" text, as it is (Overpass: "way/123");
// 2. "@id" a number: "@type" + "/" + the number ("way/123"), the number
//    alone without a "@type";
// 3. the feature's "id": text as it is, except osmium's short form "w123"
//    ("n", "w", "r" and digits) written out as "way/123"; a number as in 2;
// 4. GDAL's "osm_way_id" as "way/<id>"; its "osm_id" names a node on a
//    Point, a way on a LineString and a relation on the other geometries;
// 5. none: `id` is empty and the caller names the feature after its file.
// A null member counts as missing. Returns the reason a feature is
// malformed (an "@id" that is neither text nor a number), else nullptr.
const char* find_feature_id(const feature_id_members& ids, const std::string& geometry_type,
                            std::string& id, id_rule& rule);
