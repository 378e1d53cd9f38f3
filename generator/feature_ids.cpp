#include "generator/feature_ids.h"

static bool has(const id_member& value) { return value.state == member::present; }

// A number named by its type: "way/123"; the number alone without one.
static std::string typed_number(const id_member& number, const id_member& type) {
  if (has(type) && !type.number && !type.text.empty()) return type.text + "/" + number.text;
  return number.text;
}

// osmium's short ids: "n123", "w123", "r123".
static bool expand_short_id(const std::string& text, std::string& id) {
  if (text.size() < 2) return false;
  auto type = text[0] == 'n' ? "node/" : text[0] == 'w' ? "way/" : text[0] == 'r' ? "relation/" : nullptr;
  if (!type) return false;
  for (size_t i = 1; i < text.size(); i++) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  id = type + text.substr(1);
  return true;
}

const char* find_feature_id(const feature_id_members& ids, const std::string& geometry_type,
                            std::string& id, id_rule& rule) {
  id.clear();
  if (ids.at_id.state == member::wrong_type) return "\"@id\" that is neither text nor a number";
  if (has(ids.at_id)) {
    rule = ids.at_id.number ? id_rule::osmium : id_rule::overpass;
    id   = ids.at_id.number ? typed_number(ids.at_id, ids.at_type) : ids.at_id.text;
    return nullptr;
  }
  if (has(ids.feature)) {
    rule = id_rule::feature_id;
    if (ids.feature.number) {
      id = typed_number(ids.feature, ids.at_type);
    } else if (!expand_short_id(ids.feature.text, id)) {
      id = ids.feature.text;
    }
    return nullptr;
  }
  if (has(ids.osm_way_id) || has(ids.osm_id)) {
    rule = id_rule::gdal;
    if (has(ids.osm_way_id)) {
      id = "way/" + ids.osm_way_id.text;
    } else {
      auto type = geometry_type == "Point"        ? "node/"
                  : geometry_type == "LineString" ? "way/"
                                                  : "relation/";
      id = type + ids.osm_id.text;
    }
    return nullptr;
  }
  rule = id_rule::none;
  return nullptr;
}
