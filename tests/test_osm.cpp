// .osm and .osm.pbf files: the rules of what becomes a point, a line or an
// area, and the routes users take to GeoJSON (osmium, GDAL) against the
// files read directly, on a real extract.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "generator/geojson.h"
#include "generator/osm_file.h"
#include "test_util.h"

namespace fs = std::filesystem;

struct osm_run {
  bool          ok = false;
  city_features features;
  std::string   error, out;
};

static osm_run read_data(const std::string& text, osm_format format = osm_format::xml) {
  auto run = osm_run{};
  testing::internal::CaptureStdout();
  run.ok  = read_osm_data("map.osm", text.data(), text.size(), format, run.features, run.error, 50);
  run.out = testing::internal::GetCapturedStdout();
  return run;
}

static std::vector<std::string> names(const city_features& features) {
  auto result = std::vector<std::string>{};
  for (auto& record : features.features) result.push_back(record.name);
  std::sort(result.begin(), result.end());
  return result;
}

// Nodes and ways out of id order, as openstreetmap.org exports them.
static const char* rules_osm = R"(<?xml version="1.0" encoding="UTF-8"?>
<osm version="0.6">
 <node id="4" lat="1.1" lon="1.0"/>
 <node id="1" lat="1.0" lon="1.0"/>
 <node id="2" lat="1.0" lon="1.1"/>
 <node id="3" lat="1.1" lon="1.1"/>
 <node id="5" lat="1.1" lon="1.0"/>
 <node id="6" lat="1.02" lon="1.02"/>
 <node id="7" lat="1.02" lon="1.04"/>
 <node id="8" lat="1.04" lon="1.04"/>
 <node id="9" lat="1.05" lon="1.05"><tag k="natural" v="tree"/></node>
 <node id="10" lat="1.06" lon="1.05"><tag k="amenity" v="bench"/></node>
 <node id="11" lat="95" lon="1.05"><tag k="natural" v="tree"/></node>
 <way id="17"><nd ref="1"/><nd ref="2"/><nd ref="3"/><nd ref="5"/><nd ref="1"/><tag k="building" v="yes"/></way>
 <way id="10"><nd ref="1"/><nd ref="2"/><nd ref="3"/><nd ref="4"/><nd ref="1"/><tag k="highway" v="pedestrian"/><tag k="area" v="yes"/></way>
 <way id="11"><nd ref="1"/><nd ref="2"/><nd ref="3"/><nd ref="4"/><nd ref="1"/><tag k="highway" v="pedestrian"/><tag k="area" v="no"/></way>
 <way id="12"><nd ref="1"/><nd ref="2"/><nd ref="3"/><nd ref="4"/><nd ref="1"/><tag k="highway" v="pedestrian"/></way>
 <way id="13"><nd ref="1"/><nd ref="2"/><nd ref="2"/><nd ref="3"/><tag k="highway" v="service"/></way>
 <way id="14"><nd ref="1"/><nd ref="1"/><tag k="highway" v="service"/></way>
 <way id="15"><nd ref="1"/><nd ref="99"/><nd ref="3"/><tag k="highway" v="service"/></way>
 <way id="16"><nd ref="4"/><nd ref="5"/><tag k="highway" v="service"/></way>
 <way id="20"><nd ref="1"/><nd ref="2"/><nd ref="3"/><nd ref="4"/><nd ref="1"/></way>
 <way id="21"><nd ref="6"/><nd ref="7"/><nd ref="8"/><nd ref="6"/></way>
 <relation id="30"><member type="way" ref="20" role="outer"/><member type="way" ref="21" role="inner"/>
  <tag k="type" v="multipolygon"/><tag k="building" v="yes"/><tag k="building:levels" v="2"/></relation>
 <relation id="31"><member type="way" ref="20" role="outer"/><member type="way" ref="98" role="inner"/>
  <tag k="type" v="multipolygon"/><tag k="building" v="yes"/></relation>
</osm>
)";

TEST(read_osm_data, points_lines_and_areas_by_the_rules_of_osmium_export) {
  auto run = read_data(rules_osm);
  ASSERT_TRUE(run.ok) << run.error;
  EXPECT_EQ(names(run.features), (std::vector<std::string>{
                                     "building_relation_300",  // with its hole
                                     "building_way_100",       // area=yes: an area only
                                     "building_way_120",       // closed: an area and a line
                                     "building_way_170",
                                     "line_way_110", "line_way_111", "line_way_112", "line_way_113",
                                     "line_way_120", "line_way_121", "line_way_122", "line_way_123",
                                     "line_way_130", "line_way_131",  // the repeated node once
                                     "point_node_9"}));
  for (auto& record : run.features.features) {
    if (record.name == "building_relation_300") {
      EXPECT_EQ(record.holes.size(), 1u);
      EXPECT_EQ(record.levels, 3);
    }
  }
  EXPECT_EQ(run.out,
            "map.osm: skipped 2 features without a usable geometry (first: node 11: a location "
            "off the globe)\n");
}

TEST(read_osm_data, broken_files_fail_and_append_nothing) {
  struct row {
    std::string text;
    osm_format  format;
    const char* error;
  };
  auto truncated = std::string{rules_osm}.substr(0, 400);
  const row rows[] = {
      {"", osm_format::xml, "map.osm: parse error in osm"},
      {"not xml", osm_format::xml, "map.osm: parse error in osm"},
      {truncated, osm_format::xml, "map.osm: parse error in osm"},
      {"<html><body>rate limited</body></html>", osm_format::xml, "map.osm: parse error in osm"},
      {rules_osm, osm_format::pbf, "map.osm: parse error in osm.pbf"},
      {std::string("\0\0\0\x0dOSMHeader", 13), osm_format::pbf, "map.osm: parse error in osm.pbf"},
  };
  for (auto& row : rows) {
    auto features = city_features{};
    features.features.emplace_back();
    auto error = std::string{};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(read_osm_data("map.osm", row.text.data(), row.text.size(), row.format, features,
                               error, 50));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(features.features.size(), 1u);
  }
}

TEST(is_osm_file, names_and_kinds_of_entries) {
  auto dir = scratch_dir("osm-entries");
  for (auto name : {"a.osm", "b.osm.pbf", "C.OSM", "D.OSM.PBF", "e.Osm", ".osm", "f.osm.bz2"})
    write_file(dir / name, "x");
  fs::create_directory(dir.path / "folder.osm");
  ASSERT_EQ(mkfifo((dir / "fifo.osm.pbf").c_str(), 0600), 0);
  fs::create_symlink(dir.path / "a.osm", dir.path / "link.osm");
  struct row {
    const char* name;
    bool        read;
    osm_format  format;
  };
  for (auto [name, read, format] :
       {row{"a.osm", true, osm_format::xml}, row{"b.osm.pbf", true, osm_format::pbf},
        row{"C.OSM", true, osm_format::xml}, row{"D.OSM.PBF", true, osm_format::pbf},
        row{"link.osm", true, osm_format::xml}, row{"e.Osm", false, {}}, row{".osm", false, {}},
        row{"f.osm.bz2", false, {}}, row{"folder.osm", false, {}}, row{"fifo.osm.pbf", false, {}},
        row{"none.osm", false, {}}}) {
    auto found = osm_format::xml;
    EXPECT_EQ(is_osm_file(dir / name, &found), read) << name;
    if (read) {
      EXPECT_EQ(found, format) << name;
    }
  }
  auto features = city_features{};
  auto error    = std::string{};
  EXPECT_FALSE(read_osm_file(dir / "folder.osm", features, error, 50));
  EXPECT_EQ(error, dir / "folder.osm" + ": file not found");
  EXPECT_FALSE(read_osm_file(dir / "fifo.osm.pbf", features, error, 50));
  EXPECT_EQ(error, dir / "fifo.osm.pbf" + ": not a regular file");
}

// ---------------------------------------------------------------------------
// The real extract through every route: osmium export (plain and with its
// attributes), GDAL's four layers, the .osm file itself and a .osm.pbf made
// from it. The reference is osmium's export rewritten to Overpass ids.

namespace {

const std::string extract = SHARED_DIR "/osm-files/amatrice/map.osm";

bool have_tools() {
  return std::system("command -v osmium >/dev/null && command -v ogr2ogr >/dev/null") == 0;
}

void shell(const std::string& command) {
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// Building and road records of the files read as blockgen reads them.
std::map<feature_kind, size_t> kinds_read(const std::vector<std::string>& files,
                                          city_features& features) {
  auto error = std::string{};
  testing::internal::CaptureStdout();
  for (auto& file : files) {
    auto ok = is_osm_file(file) ? read_osm_file(file, features, error, 50)
                                : read_geojson(file, features, error, 50);
    EXPECT_TRUE(ok) << error;
  }
  testing::internal::GetCapturedStdout();
  make_names_unique(features);
  auto counts = std::map<feature_kind, size_t>{};
  for (auto& record : features.features) counts[record.kind]++;
  return counts;
}

// blockgen's triangle count on a folder holding the files.
double blockgen_triangles(const std::vector<std::string>& files, const std::string& name) {
  auto input = fs::path(OSM_ROUTES_DIR) / ("input-" + name);
  fs::create_directories(input);
  copy_assets(input.string());
  for (auto& file : files) fs::copy(file, input / fs::path(file).filename());
  auto run = run_program(BLOCKGEN_PATH, {"-o", (input / "out/city.json").string(), input.string()});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.out.find("skipped"), std::string::npos) << run.out;
  auto at = run.out.find("\nTriangles\n");
  return at == std::string::npos ? -1 : std::stod(run.out.substr(at + 11));
}

}  // namespace

TEST(osm_routes, every_route_builds_what_the_overpass_style_export_builds) {
  if (!fs::exists(extract)) GTEST_SKIP() << extract << " is absent";
  if (!have_tools()) GTEST_SKIP() << "osmium or ogr2ogr is not installed";
  auto dir = fs::path(OSM_ROUTES_DIR);
  fs::remove_all(dir);
  fs::create_directories(dir / "gdal");
  auto d = [&](const std::string& name) { return (dir / name).string(); };
  // openstreetmap.org's export is not in id order, which osmium export needs.
  shell("osmium sort -O -o " + d("sorted.osm.pbf") + " " + extract);
  shell("osmium export -O -o " + d("plain.geojson") + " " + d("sorted.osm.pbf"));
  shell("osmium export -O --attributes type,id -o " + d("attributes.geojson") + " " + d("sorted.osm.pbf"));
  shell("osmium cat -O -o " + d("map.osm.pbf") + " " + extract);
  for (auto layer : {"points", "lines", "multilinestrings", "multipolygons"})
    shell("OSM_USE_CUSTOM_INDEXING=NO ogr2ogr -f GeoJSON " + d("gdal/") + layer + ".geojson " +
          extract + " " + layer + " 2>/dev/null");
  // The reference: osmium's "@type" and "@id" as Overpass writes them.
  auto reference = nlohmann::json::parse(read_file(d("attributes.geojson")));
  for (auto& feature : reference["features"]) {
    auto& properties = feature["properties"];
    auto  id = properties["@type"].get<std::string>() + "/" + properties["@id"].dump();
    properties.erase("@type");
    properties["@id"] = id;
  }
  fs::create_directories(dir / "reference");
  write_file(d("reference/reference.geojson"), reference.dump());

  auto reference_records = city_features{};
  auto expected  = kinds_read({d("reference/reference.geojson")}, reference_records);
  auto triangles = blockgen_triangles({d("reference/reference.geojson")}, "reference");
  ASSERT_GT(expected[feature_kind::building], 370u);  // 380 buildings, a few with holes
  ASSERT_GT(expected[feature_kind::road], 100u);

  struct route {
    const char*              name;
    std::vector<std::string> files;
    bool                     same_records;  // the very records of the reference
  };
  auto gdal = std::vector<std::string>{};
  for (auto layer : {"points", "lines", "multilinestrings", "multipolygons"})
    gdal.push_back(d("gdal/") + layer + ".geojson");
  for (auto& route : {route{"osmium export", {d("plain.geojson")}, false},
                      route{"osmium export --attributes", {d("attributes.geojson")}, true},
                      route{"ogr2ogr layers", gdal, false},
                      route{".osm", {extract}, true},
                      route{".osm.pbf", {d("map.osm.pbf")}, true}}) {
    SCOPED_TRACE(route.name);
    auto records = city_features{};
    auto counts  = kinds_read(route.files, records);
    for (auto kind : {feature_kind::building, feature_kind::road})
      EXPECT_GE(counts[kind], expected[kind] * 98 / 100) << (int)kind;
    auto route_triangles = blockgen_triangles(route.files, route.name);
    EXPECT_NEAR(route_triangles, triangles, triangles * 0.05);
    if (route.same_records) {
      EXPECT_EQ(names(records), names(reference_records));
      EXPECT_EQ(route_triangles, triangles);
    }
    std::cout << route.name << ": buildings " << counts[feature_kind::building] << "/"
              << expected[feature_kind::building] << ", roads " << counts[feature_kind::road]
              << "/" << expected[feature_kind::road] << ", triangles " << route_triangles << "/"
              << triangles << "\n";
  }
}
