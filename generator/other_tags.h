#pragma once
// GDAL's "other_tags" property: the tags its OSM driver has no column for,
// as one text of quoted pairs, "building:levels"=>"3","roof:shape"=>"flat".

#include <string>
#include <string_view>
#include <vector>

#include "generator/tags.h"

struct other_tag {
  std::string key   = "";
  std::string value = "";
  bool        null  = false;  // the unquoted value NULL: present, no text
};

// The pairs of the text in order. Keys and values are quoted; inside the
// quotes a backslash takes the next character as it is (\" and \\), so a
// value may hold quotes, commas and "=>". Pairs are separated by a comma
// and optional white space. Returns false at the first fault; the pairs
// before it are kept.
bool parse_other_tags(std::string_view text, std::vector<other_tag>& tags);

// Adds the rule tags of the text that the feature's own properties did not
// set: the feature reads as if they were properties. `scratch` keeps its
// storage from feature to feature.
void add_other_tags(std::string_view text, feature_tags& tags, std::vector<other_tag>& scratch);
