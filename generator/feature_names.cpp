#include "generator/feature_names.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include "support/hash.h"

std::string fit_record_name(std::string name) {
  if (name.size() <= max_record_name) return name;
  auto hash = stable_hash{};
  hash.add(name.data(), name.size());
  char digits[20];
  std::snprintf(digits, sizeof(digits), "-%016llx", (unsigned long long)hash.value);
  auto head = max_record_name - std::strlen(digits);
  // A byte 10xxxxxx continues a character: cut before the character instead.
  while (head > 0 && ((unsigned char)name[head] & 0xC0) == 0x80) head--;
  name.resize(head);
  return name + digits;
}

// Everything the reader takes from a feature, the name aside.
static bool same_content(const city_feature& a, const city_feature& b) {
  return a.kind == b.kind && a.roof_shape == b.roof_shape && a.tree_type == b.tree_type &&
         a.landmark == b.landmark && a.colour == b.colour && a.levels == b.levels &&
         a.roof_height == b.roof_height && a.width == b.width && a.outline == b.outline &&
         a.holes == b.holes;
}

static uint64_t content_hash(const city_feature& record) {
  auto hash = stable_hash{};
  for (auto number : {(int)record.kind, record.roof_shape, record.tree_type, record.landmark,
                      record.levels})
    hash.add(number);
  hash.add(record.colour);
  hash.add((double)record.roof_height);
  hash.add((double)record.width);
  auto add_points = [&](const std::vector<vec2d>& points) {
    hash.add(points.size());
    for (auto& p : points) hash.add(p.x), hash.add(p.y);
  };
  add_points(record.outline);
  hash.add(record.holes.size());
  for (auto& hole : record.holes) add_points(hole);
  return hash.value;
}

void make_names_unique(city_features& features) {
  auto& records = features.features;
  // Every record by its name as read: equal names are neighbours, in record
  // order. Sorting costs the same whatever the names are.
  struct named {
    uint64_t hash;
    size_t   index;
  };
  auto name_hash = [](const std::string& name) {
    auto hash = stable_hash{};
    hash.add(name.data(), name.size());
    return hash.value;
  };
  auto order = std::vector<named>(records.size());
  for (size_t i = 0; i < records.size(); i++) order[i] = {name_hash(records[i].name), i};
  std::sort(order.begin(), order.end(), [&](const named& a, const named& b) {
    if (a.hash != b.hash) return a.hash < b.hash;
    auto names = records[a.index].name.compare(records[b.index].name);
    return names != 0 ? names < 0 : a.index < b.index;
  });
  auto read_name = [&](const std::string& name) {
    auto hash  = name_hash(name);
    auto found = std::lower_bound(order.begin(), order.end(), hash, [&](const named& a, uint64_t h) {
      return a.hash < h || (a.hash == h && records[a.index].name < name);
    });
    return found != order.end() && found->hash == hash && records[found->index].name == name;
  };

  // Within a group of records that read the same name, the first of each
  // content keeps or gets a name, later ones of the same content share it.
  // Renamed records take the lowest free suffix; no name of another group
  // can end in "~<n>" of this one, so only the names as read can be in the way.
  auto renames = std::vector<std::pair<size_t, std::string>>{};
  auto holders = std::unordered_map<uint64_t, std::vector<std::pair<size_t, std::string>>>{};
  for (size_t begin = 0, end = 0; begin < order.size(); begin = end) {
    auto& base = records[order[begin].index].name;
    for (end = begin + 1; end < order.size() && order[end].hash == order[begin].hash &&
                          records[order[end].index].name == base;
         end++) {
    }
    if (end - begin == 1) continue;
    holders.clear();
    auto suffix = 2;
    for (auto k = begin; k < end; k++) {
      auto  index  = order[k].index;
      auto& record = records[index];
      auto& same   = holders[content_hash(record)];
      auto  held   = std::find_if(same.begin(), same.end(), [&](const auto& holder) {
        return same_content(records[holder.first], record);
      });
      if (held != same.end()) {
        if (held->second != base) renames.emplace_back(index, held->second);
        continue;
      }
      auto name = base;
      if (k != begin) {
        do {
          name = base + "~" + std::to_string(suffix++);
        } while (read_name(name));
        renames.emplace_back(index, name);
      }
      same.emplace_back(index, std::move(name));
    }
  }
  for (auto& [index, name] : renames) records[index].name = std::move(name);
}

