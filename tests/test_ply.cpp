// The PLY model, reader and writer, and the shape array operations on it.
#include <gtest/gtest.h>

#include "scene/ply.h"
#include "support/files.h"
#include "test_util.h"

namespace {

// A file of the given text in a fresh folder, loaded as a model.
struct loaded_ply {
  bool        ok    = false;
  std::string error = "";
  ply_model   model = {};
};

loaded_ply load_text_ply(const scratch_dir& dir, const std::string& text,
                         const std::string& name = "in.ply") {
  write_file(dir / name, text);
  auto result = loaded_ply{};
  result.ok = load_ply(dir / name, result.model, result.error);
  return result;
}

const std::string ascii_head = "ply\nformat ascii 1.0\n";

// One property of every type with values at the edges of its range.
ply_model every_type_model() {
  auto model = ply_model{};
  auto element = ply_element{"sample", 2, {}};
  auto add = [&](const std::string& name, ply_type type) -> ply_property& {
    element.properties.push_back({});
    element.properties.back().name = name;
    element.properties.back().type = type;
    return element.properties.back();
  };
  add("a", ply_type::i8).data_i8 = {-128, 127};
  add("b", ply_type::i16).data_i16 = {-32768, 12345};
  add("c", ply_type::i32).data_i32 = {-2147483647 - 1, 7};
  add("d", ply_type::i64).data_i64 = {-4611686018427387904ll, 42};
  add("e", ply_type::u8).data_u8 = {0, 255};
  add("f", ply_type::u16).data_u16 = {65535, 1};
  add("g", ply_type::u32).data_u32 = {4294967295u, 2};
  add("h", ply_type::u64).data_u64 = {18446744073709551615ull, 3};
  add("i", ply_type::f32).data_f32 = {0.1f, -1.5e-30f};
  add("j", ply_type::f64).data_f64 = {0.1, 1e300};
  auto& list = add("k", ply_type::i32);
  list.is_list = true;
  list.list_sizes = {0, 3};
  list.data_i32 = {5, -6, 7};
  model.elements.push_back(element);
  model.comments = {"made for a test"};
  return model;
}

void expect_same_values(const ply_property& a, const ply_property& b) {
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.type, b.type);
  EXPECT_EQ(a.is_list, b.is_list);
  EXPECT_EQ(a.list_sizes, b.list_sizes);
  EXPECT_EQ(a.data_i8, b.data_i8);
  EXPECT_EQ(a.data_i16, b.data_i16);
  EXPECT_EQ(a.data_i32, b.data_i32);
  EXPECT_EQ(a.data_i64, b.data_i64);
  EXPECT_EQ(a.data_u8, b.data_u8);
  EXPECT_EQ(a.data_u16, b.data_u16);
  EXPECT_EQ(a.data_u32, b.data_u32);
  EXPECT_EQ(a.data_u64, b.data_u64);
  EXPECT_EQ(a.data_f32, b.data_f32);
  EXPECT_EQ(a.data_f64, b.data_f64);
}

std::string bytes(std::initializer_list<unsigned char> values) {
  return std::string(values.begin(), values.end());
}

}  // namespace

TEST(ply_files, every_type_survives_each_format) {
  auto dir = scratch_dir("ply");
  for (auto format : {ply_format::ascii, ply_format::binary_little_endian,
                      ply_format::binary_big_endian}) {
    SCOPED_TRACE((int)format);
    auto model = every_type_model();
    model.format = format;
    auto error = std::string{};
    ASSERT_TRUE(save_ply(dir / "all.ply", model, error)) << error;
    auto loaded = ply_model{};
    ASSERT_TRUE(load_ply(dir / "all.ply", loaded, error)) << error;
    EXPECT_EQ(loaded.format, format);
    // The two fixed lines come first, then the model's own comment.
    ASSERT_EQ(loaded.comments.size(), 3u);
    EXPECT_EQ(loaded.comments[2], "made for a test");
    ASSERT_EQ(loaded.elements.size(), 1u);
    EXPECT_EQ(loaded.elements[0].name, "sample");
    EXPECT_EQ(loaded.elements[0].count, 2u);
    ASSERT_EQ(loaded.elements[0].properties.size(), model.elements[0].properties.size());
    for (auto p = size_t{0}; p < model.elements[0].properties.size(); p++)
      expect_same_values(loaded.elements[0].properties[p], model.elements[0].properties[p]);
  }
}

TEST(ply_files, header_and_byte_layout_as_written) {
  auto dir = scratch_dir("ply");
  auto model = ply_model{};
  ASSERT_TRUE(add_positions(model, {{1, 2, 3}}));
  ASSERT_TRUE(add_faces(model, {{0, 0, 0}}, {}));
  auto error = std::string{};
  auto header =
      "comment written by blockgen\ncomment city scene shape\n"
      "element vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
      "element face 1\nproperty list uchar int vertex_indices\nend_header\n";

  model.format = ply_format::ascii;
  ASSERT_TRUE(save_ply(dir / "a.ply", model, error)) << error;
  EXPECT_EQ(read_file(dir / "a.ply"),
            "ply\nformat ascii 1.0\n" + std::string{header} + "1 2 3 \n3 0 0 0 \n");

  model.format = ply_format::binary_little_endian;
  ASSERT_TRUE(save_ply(dir / "l.ply", model, error)) << error;
  EXPECT_EQ(read_file(dir / "l.ply"),
            "ply\nformat binary_little_endian 1.0\n" + std::string{header} +
                bytes({0, 0, 0x80, 0x3F, 0, 0, 0, 0x40, 0, 0, 0x40, 0x40}) +
                bytes({3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  model.format = ply_format::binary_big_endian;
  ASSERT_TRUE(save_ply(dir / "b.ply", model, error)) << error;
  EXPECT_EQ(read_file(dir / "b.ply"),
            "ply\nformat binary_big_endian 1.0\n" + std::string{header} +
                bytes({0x3F, 0x80, 0, 0, 0x40, 0, 0, 0, 0x40, 0x40, 0, 0}) +
                bytes({3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ply_files, big_endian_file_from_another_writer) {
  auto dir = scratch_dir("ply");
  auto text = "ply\nformat binary_big_endian 1.0\nelement vertex 1\nproperty float x\n"
              "property double y\nproperty short z\nelement face 1\n"
              "property list uint8 uint vertex_indices\nend_header\n" +
              bytes({0x3F, 0x80, 0, 0}) + bytes({0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18}) +
              bytes({0xFF, 0xFE}) + bytes({1, 0, 0, 0x01, 0x02});
  auto loaded = load_text_ply(dir, text);
  ASSERT_TRUE(loaded.ok) << loaded.error;
  auto& vertex = loaded.model.elements[0];
  EXPECT_EQ(vertex.properties[0].data_f32, std::vector<float>{1.0f});
  EXPECT_EQ(vertex.properties[1].data_f64, std::vector<double>{3.141592653589793});
  EXPECT_EQ(vertex.properties[2].data_i16, std::vector<int16_t>{-2});
  EXPECT_EQ(loaded.model.elements[1].properties[0].data_u32, std::vector<uint32_t>{258});
}

TEST(ply_files, header_rules) {
  auto dir = scratch_dir("ply");
  struct header_case {
    const char* what;
    std::string text;
    const char* failure;  // null when the file reads
  };
  auto vertex = std::string{"element vertex 1\nproperty float x\nend_header\n1\n"};
  auto cases = std::vector<header_case>{
      {"list count must be one byte",
       ascii_head + "element face 1\nproperty list int int vertex_indices\nend_header\n0\n",
       ": parse error (line 4: list count type \"int\", only uchar or uint8)"},
      {"count followed by a comment", ascii_head + "element vertex 2 # two rows\n"
                                                   "property float x\nend_header\n1\n2\n",
       nullptr},
      {"obj_info is ignored", ascii_head + "obj_info made by hand\n" + vertex, nullptr},
      {"unknown keyword", ascii_head + "vertices 3\n" + vertex,
       ": parse error (line 3: unknown header keyword \"vertices\")"},
      {"no end_header", ascii_head + "element vertex 1\nproperty float x\n",
       ": parse error (the header has no end_header)"},
      {"not a ply file", "\n# note\nplx\nformat ascii 1.0\n" + vertex,
       ": parse error (line 3: not a PLY file, it does not start with \"ply\")"},
      {"property before element", ascii_head + "property float x\n" + vertex,
       ": parse error (line 3: property before any element)"},
      {"unknown type", ascii_head + "element vertex 1\nproperty real x\nend_header\n1\n",
       ": parse error (line 4: unknown type \"real\")"},
      {"unknown format", "ply\nformat binary_middle_endian 1.0\n" + vertex,
       ": parse error (line 2: unknown format \"binary_middle_endian\")"},
      {"format without a word", "ply\nformat\n" + vertex,
       ": parse error (line 2: format without a keyword)"},
      {"element without a count", ascii_head + "element vertex\n" + vertex,
       ": parse error (line 3: element without a name and a row count)"},
      {"negative count", ascii_head + "element vertex -1\nproperty float x\nend_header\n",
       ": parse error (line 3: element vertex: row count \"-1\" is not a whole number)"},
      {"count beyond 64 bits", ascii_head + "element vertex 99999999999999999999\n"
                                            "property float x\nend_header\n",
       ": parse error (line 3: element vertex: row count \"99999999999999999999\" is not a whole "
       "number)"},
      {"property without a name", ascii_head + "element vertex 1\nproperty float\nend_header\n",
       ": parse error (line 4: property without a name)"},
      {"carriage returns, blank lines and tabs",
       "ply\r\n\r\n\tformat ascii 1.0\r\n  # only a comment\r\nelement\tvertex 1\r\n"
       "property float32 x\r\nend_header\r\n1\r\n",
       nullptr},
      {"empty file", "", ": parse error (the file is empty)"},
      {"header line of 5000 bytes", ascii_head + "comment " + std::string(5000, 'x') + "\n" + vertex,
       ": parse error (line 3: a header line longer than 4096 bytes)"},
      {"list without a value type", ascii_head + "element face 1\nproperty list uchar\n",
       ": parse error (line 4: list property without a value type)"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto loaded = load_text_ply(dir, c.text);
    if (c.failure) {
      EXPECT_FALSE(loaded.ok);
      EXPECT_EQ(loaded.error, dir / "in.ply" + c.failure);
    } else {
      EXPECT_TRUE(loaded.ok) << loaded.error;
    }
  }

  auto counted = load_text_ply(dir, cases[1].text);
  ASSERT_EQ(counted.model.elements.size(), 1u);
  EXPECT_EQ(counted.model.elements[0].count, 2u);
  EXPECT_EQ(counted.model.elements[0].properties[0].data_f32, (std::vector<float>{1, 2}));

  auto commented = load_text_ply(dir, ascii_head + "comment   made by hand\n" +
                                          "element face 0\nproperty list uint8 int32 "
                                          "vertex_indices\nend_header\n");
  ASSERT_TRUE(commented.ok) << commented.error;
  EXPECT_EQ(commented.model.comments, std::vector<std::string>{"made by hand"});
  auto& indices = commented.model.elements[0].properties[0];
  EXPECT_TRUE(indices.is_list);
  EXPECT_EQ(indices.type, ply_type::i32);
}

TEST(ply_files, damaged_data_is_reported) {
  auto dir = scratch_dir("ply");
  auto binary_head = std::string{"ply\nformat binary_little_endian 1.0\n"};
  struct data_case {
    const char* what;
    std::string text;
    const char* failure;
  };
  auto cases = std::vector<data_case>{
      {"binary rows cut short",
       binary_head + "element vertex 2\nproperty float x\nend_header\n" + bytes({0, 0, 0x80, 0x3F}),
       ": read error (element vertex: 2 rows declared, the data holds at most 1)"},
      {"binary list cut short",
       binary_head + "element face 1\nproperty list uchar int vertex_indices\nend_header\n" +
           bytes({3, 0, 0, 0, 0}),
       ": read error (element face: the data ends in row 1 of 1 (property vertex_indices))"},
      {"binary count larger than the file",
       binary_head + "element vertex 18446744073709551615\nproperty double x\nend_header\n",
       ": read error (element vertex: 18446744073709551615 rows declared, the data holds at most "
       "0)"},
      {"binary list count larger than the file",
       binary_head + "element face 4000000000\nproperty list uchar int vertex_indices\n"
                     "end_header\n" + bytes({0}),
       ": read error (element face: 4000000000 rows declared, the data holds at most 1)"},
      {"ascii rows missing", ascii_head + "element vertex 3\nproperty float x\nend_header\n1\n",
       ": read error (element vertex: the file ends after row 1 of 3)"},
      {"ascii huge count",
       ascii_head + "element vertex 18446744073709551615\nproperty float x\nend_header\n1\n2\n",
       ": read error (element vertex: the file ends after row 2 of 18446744073709551615)"},
      {"ascii value missing in a row",
       ascii_head + "element vertex 1\nproperty float x\nproperty float y\nend_header\n1\n",
       ": parse error (line 7: element vertex, property y: a value is missing)"},
      {"ascii value not a number",
       ascii_head + "element vertex 1\nproperty float x\nend_header\n1.5x\n",
       ": parse error (line 6: element vertex, property x: \"1.5x\" is not a value of type float)"},
      {"ascii float for an integer",
       ascii_head + "element vertex 1\nproperty int x\nend_header\n1.5\n",
       ": parse error (line 6: element vertex, property x: \"1.5\" is not a value of type int)"},
      {"ascii negative unsigned",
       ascii_head + "element vertex 1\nproperty uchar x\nend_header\n-1\n",
       ": parse error (line 6: element vertex, property x: \"-1\" is not a value of type uchar)"},
      {"ascii list shorter than its count",
       ascii_head + "element face 1\nproperty list uchar int vertex_indices\nend_header\n3 0 1\n",
       ": parse error (line 6: element face, property vertex_indices: a value is missing)"},
      {"ascii list count not a byte",
       ascii_head + "element vertex 1\nproperty float x\nelement face 1\n"
                    "property list uchar int vertex_indices\nend_header\n0\n-3 0 1\n",
       ": parse error (line 9: element face, property vertex_indices: \"-3\" is not a list count "
       "from 0 to 255)"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto loaded = load_text_ply(dir, c.text);
    EXPECT_FALSE(loaded.ok);
    EXPECT_EQ(loaded.error, dir / "in.ply" + c.failure);
  }

  auto error = std::string{};
  auto model = ply_model{};
  EXPECT_FALSE(load_ply(dir / "missing.ply", model, error));
  EXPECT_EQ(error, dir / "missing.ply" + ": file not found");
}

TEST(ply_files, lenient_where_harmless) {
  auto dir = scratch_dir("ply");
  // Bytes after the last row, a plus sign, and an element without
  // properties whose rows hold nothing.
  auto binary = load_text_ply(dir, "ply\nformat binary_little_endian 1.0\nelement empty "
                                   "18446744073709551615\nelement vertex 1\nproperty uchar x\n"
                                   "end_header\n" + bytes({7, 8, 9}));
  ASSERT_TRUE(binary.ok) << binary.error;
  EXPECT_EQ(binary.model.elements[1].properties[0].data_u8, std::vector<uint8_t>{7});

  auto ascii = load_text_ply(dir, ascii_head + "element vertex 2\nproperty char x\nproperty "
                                               "double y\nend_header\n+5 -1e3 \n-5 2.5\nextra\n");
  ASSERT_TRUE(ascii.ok) << ascii.error;
  EXPECT_EQ(ascii.model.elements[0].properties[0].data_i8, (std::vector<int8_t>{5, -5}));
  EXPECT_EQ(ascii.model.elements[0].properties[1].data_f64, (std::vector<double>{-1000, 2.5}));
}

TEST(ply_files, inconsistent_model_is_not_written) {
  auto dir = scratch_dir("ply");
  auto error = std::string{};
  auto model = ply_model{};
  ASSERT_TRUE(add_positions(model, {{0, 0, 0}, {1, 1, 1}}));
  model.elements[0].properties[1].data_f32.pop_back();
  EXPECT_FALSE(save_ply(dir / "bad.ply", model, error));
  EXPECT_EQ(error, dir / "bad.ply" + ": write error");
  EXPECT_FALSE(path_exists(dir / "bad.ply"));

  auto lists = ply_model{};
  ASSERT_TRUE(add_faces(lists, {{0, 1, 2}}, {}));
  lists.elements[0].properties[0].list_sizes[0] = 4;
  EXPECT_FALSE(save_ply(dir / "bad.ply", lists, error));
  EXPECT_FALSE(path_exists(dir / "bad.ply"));

  EXPECT_FALSE(save_ply(dir / "no/such/folder.ply", ply_model{}, error));
  EXPECT_EQ(error, dir / "no/such/folder.ply" + ": file not found");
}

TEST(ply_shapes, faces_are_written_by_the_rules) {
  auto face_sizes = [](const ply_model& model) {
    return model.elements.at(0).properties.at(0).list_sizes;
  };
  auto only_triangles = ply_model{};
  ASSERT_TRUE(add_faces(only_triangles, {{0, 1, 2}, {2, 1, 3}}, {}));
  EXPECT_EQ(face_sizes(only_triangles), (std::vector<uint8_t>{3, 3}));

  auto only_quads = ply_model{};
  ASSERT_TRUE(add_faces(only_quads, {}, {{0, 1, 2, 3}, {4, 5, 6, 7}}));
  EXPECT_EQ(face_sizes(only_quads), (std::vector<uint8_t>{4, 4}));
  EXPECT_EQ(only_quads.elements[0].properties[0].data_i32,
            (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7}));

  auto mixed = ply_model{};
  ASSERT_TRUE(add_faces(mixed, {{0, 1, 2}}, {{0, 2, 3, 3}, {4, 5, 6, 7}}));
  EXPECT_EQ(face_sizes(mixed), (std::vector<uint8_t>{3, 3, 4}));
  EXPECT_EQ(mixed.elements[0].properties[0].data_i32,
            (std::vector<int32_t>{0, 1, 2, 0, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(mixed.elements[0].name, "face");
  EXPECT_EQ(mixed.elements[0].properties[0].name, "vertex_indices");

  auto lines_points = ply_model{};
  ASSERT_TRUE(add_lines(lines_points, {{0, 1}, {1, 2}}));
  ASSERT_TRUE(add_points(lines_points, {4, 5, 6}));
  EXPECT_EQ(face_sizes(lines_points), (std::vector<uint8_t>{2, 2}));
  EXPECT_EQ(lines_points.elements[1].name, "point");
  EXPECT_EQ(lines_points.elements[1].properties[0].list_sizes, (std::vector<uint8_t>{1, 1, 1}));

  auto empty = ply_model{};
  EXPECT_TRUE(add_faces(empty, {}, {}));
  EXPECT_TRUE(add_positions(empty, {}));
  EXPECT_TRUE(add_lines(empty, {}));
  EXPECT_TRUE(empty.elements.empty());
}

TEST(ply_shapes, face_rows_are_read_as_fans) {
  auto dir = scratch_dir("ply");
  auto loaded = load_text_ply(dir, ascii_head + "element face 4\nproperty list uchar int "
                                                "vertex_indices\nend_header\n5 1 2 3 4 5\n"
                                                "2 7 8\n0\n4 6 7 8 9\n");
  ASSERT_TRUE(loaded.ok) << loaded.error;
  auto triangles = std::vector<vec3i>{};
  ASSERT_TRUE(get_triangles(loaded.model, triangles));
  EXPECT_EQ(triangles, (std::vector<vec3i>{{1, 2, 3}, {1, 3, 4}, {1, 4, 5}, {6, 7, 8}, {6, 8, 9}}));
  auto quads = std::vector<vec4i>{};
  ASSERT_TRUE(get_quads(loaded.model, quads));
  EXPECT_EQ(quads, (std::vector<vec4i>{{1, 2, 3, 3}, {1, 3, 4, 4}, {1, 4, 5, 5}, {6, 7, 8, 9}}));
  EXPECT_TRUE(has_quads(loaded.model));

  auto triangles_only = load_text_ply(dir, ascii_head + "element face 1\nproperty list uchar "
                                                        "int vertex_indices\nend_header\n3 0 1 2\n");
  EXPECT_FALSE(has_quads(triangles_only.model));

  auto polyline = load_text_ply(dir, ascii_head + "element line 2\nproperty list uchar int "
                                                  "vertex_indices\nelement point 1\nproperty "
                                                  "list uchar uint vertex_indices\nend_header\n"
                                                  "3 0 1 2\n1 5\n2 3 4\n");
  ASSERT_TRUE(polyline.ok) << polyline.error;
  auto lines = std::vector<vec2i>{};
  ASSERT_TRUE(get_lines(polyline.model, lines));
  EXPECT_EQ(lines, (std::vector<vec2i>{{0, 1}, {1, 2}}));
  auto points = std::vector<int>{};
  ASSERT_TRUE(get_points(polyline.model, points));
  EXPECT_EQ(points, (std::vector<int>{3, 4}));
}

TEST(ply_shapes, vertex_arrays_round_trip) {
  auto model = ply_model{};
  auto positions = std::vector<vec3f>{{1, 2, 3}, {4, 5, 6}};
  auto normals = std::vector<vec3f>{{0, 1, 0}, {0, 0, 1}};
  auto texcoords = std::vector<vec2f>{{0.25f, 0.5f}, {1, 0}};
  auto colors = std::vector<vec4f>{{0.1f, 0.2f, 0.3f, 0.4f}, {1, 1, 1, 1}};
  auto radius = std::vector<float>{0.5f, 2};
  ASSERT_TRUE(add_positions(model, positions));
  ASSERT_TRUE(add_normals(model, normals));
  ASSERT_TRUE(add_texcoords(model, texcoords, true));
  ASSERT_TRUE(add_colors(model, colors));
  ASSERT_TRUE(add_radius(model, radius));
  ASSERT_EQ(model.elements.size(), 1u);
  EXPECT_EQ(model.elements[0].properties.size(), 13u);
  EXPECT_EQ(model.elements[0].properties[7].data_f32, (std::vector<float>{0.5f, 1}));

  auto p = std::vector<vec3f>{}, n = std::vector<vec3f>{};
  auto t = std::vector<vec2f>{};
  auto c = std::vector<vec4f>{};
  auto r = std::vector<float>{};
  ASSERT_TRUE(get_positions(model, p));
  ASSERT_TRUE(get_normals(model, n));
  ASSERT_TRUE(get_texcoords(model, t, true));
  ASSERT_TRUE(get_colors(model, c));
  ASSERT_TRUE(get_radius(model, r));
  EXPECT_EQ(p, positions);
  EXPECT_EQ(n, normals);
  EXPECT_EQ(t, texcoords);
  EXPECT_EQ(c, colors);
  EXPECT_EQ(r, radius);

  // A second array of another length would leave rows without values.
  EXPECT_FALSE(add_normals(model, {{0, 1, 0}}));
  EXPECT_EQ(model.elements[0].properties.size(), 13u);
  EXPECT_EQ(model.elements[0].count, 2u);
  // Adding again replaces the values of the same properties.
  ASSERT_TRUE(add_positions(model, {{7, 8, 9}, {1, 1, 1}}));
  ASSERT_TRUE(get_positions(model, p));
  EXPECT_EQ(p[0], (vec3f{7, 8, 9}));
  EXPECT_EQ(model.elements[0].properties.size(), 13u);
}

TEST(ply_shapes, getters_convert_and_refuse) {
  auto dir = scratch_dir("ply");
  auto loaded = load_text_ply(dir, ascii_head + "element vertex 2\nproperty uchar red\n"
                                                "property uchar green\nproperty uchar blue\n"
                                                "property int s\nproperty short t\n"
                                                "property list uchar float x\nend_header\n"
                                                "255 0 128 1 0 1 7\n1 2 3 0 1 0\n");
  ASSERT_TRUE(loaded.ok) << loaded.error;
  auto colors = std::vector<vec4f>{};
  ASSERT_TRUE(get_colors(loaded.model, colors));
  EXPECT_EQ(colors, (std::vector<vec4f>{{255, 0, 128, 1}, {1, 2, 3, 1}}));
  auto texcoords = std::vector<vec2f>{};
  ASSERT_TRUE(get_texcoords(loaded.model, texcoords, true));
  EXPECT_EQ(texcoords, (std::vector<vec2f>{{1, 1}, {0, 0}}));

  // x is a list, y and z are missing, and there are no faces.
  auto positions = std::vector<vec3f>{{9, 9, 9}};
  EXPECT_FALSE(get_positions(loaded.model, positions));
  EXPECT_TRUE(positions.empty());
  auto normals = std::vector<vec3f>{{9, 9, 9}};
  EXPECT_FALSE(get_normals(loaded.model, normals));
  EXPECT_TRUE(normals.empty());
  auto radius = std::vector<float>{1};
  EXPECT_FALSE(get_radius(loaded.model, radius));
  EXPECT_TRUE(radius.empty());
  auto triangles = std::vector<vec3i>{{1, 2, 3}};
  EXPECT_FALSE(get_triangles(loaded.model, triangles));
  EXPECT_TRUE(triangles.empty());

  // Faces stored as a scalar are not faces.
  auto scalar_faces = load_text_ply(dir, ascii_head + "element face 1\nproperty int "
                                                      "vertex_indices\nend_header\n3\n");
  ASSERT_TRUE(scalar_faces.ok);
  auto quads = std::vector<vec4i>{};
  EXPECT_FALSE(get_quads(scalar_faces.model, quads));
  EXPECT_FALSE(has_quads(scalar_faces.model));

  // A model built by hand whose values fall short of its rows reads as missing.
  auto model = ply_model{};
  ASSERT_TRUE(add_positions(model, {{1, 2, 3}, {4, 5, 6}}));
  model.elements[0].properties[2].data_f32.pop_back();
  EXPECT_FALSE(get_positions(model, positions));
}
