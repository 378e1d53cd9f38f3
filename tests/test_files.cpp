#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "support/files.h"
#include "test_util.h"

TEST(paths, dirname) {
  EXPECT_EQ(path_dirname("city/scene.json"), "city");
  EXPECT_EQ(path_dirname("scene.json"), "");
  EXPECT_EQ(path_dirname("a/b/c.ply"), "a/b");
  EXPECT_EQ(path_dirname("a\\b\\c.ply"), "a/b");
  EXPECT_EQ(path_dirname("/top.json"), "/");
}

TEST(paths, extension) {
  EXPECT_EQ(path_extension("a.geojson"), ".geojson");
  EXPECT_EQ(path_extension("dir/a.tar.gz"), ".gz");
  EXPECT_EQ(path_extension("dir.d/name"), "");
  EXPECT_EQ(path_extension(".hidden"), "");
  EXPECT_EQ(path_extension("dir/.hidden"), "");
  EXPECT_EQ(path_extension("."), "");
  EXPECT_EQ(path_extension(".."), "");
  EXPECT_EQ(path_extension("a.GeoJSON"), ".GeoJSON");
  EXPECT_EQ(path_extension("a.geojson.bak"), ".bak");
  EXPECT_EQ(path_extension("a."), ".");
}

TEST(paths, join) {
  EXPECT_EQ(path_join("city", "shapes"), "city/shapes");
  EXPECT_EQ(path_join("", "shapes"), "shapes");
  EXPECT_EQ(path_join("city/", "shapes"), "city/shapes");
  EXPECT_EQ(path_join("in\\dir", "tree_models/palm.ply"), "in/dir/tree_models/palm.ply");
}

TEST(paths, utf8_names) {
  auto dir = scratch_dir("utf8");
  auto name = dir / "城市 Möllan.geojson";
  auto error = std::string{};
  ASSERT_TRUE(save_text(name, "{}", error)) << error;
  EXPECT_TRUE(path_exists(name));
  EXPECT_EQ(path_extension(name), ".geojson");
  auto entries = std::vector<std::string>{};
  ASSERT_TRUE(list_directory(dir.str(), entries, error));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], name);
}

TEST(directories, list_returns_files_and_folders_one_level) {
  auto dir = scratch_dir("list");
  std::filesystem::create_directories(dir.path / "x.geojson" / "inner");
  write_file(dir / "a.geojson", "");
  write_file(dir / "b.txt", "");
  auto entries = std::vector<std::string>{};
  auto error = std::string{};
  ASSERT_TRUE(list_directory(dir.str(), entries, error));
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{dir / "a.geojson", dir / "b.txt", dir / "x.geojson"}));
}

TEST(directories, list_of_a_missing_folder_fails_naming_it) {
  auto entries = std::vector<std::string>{"stale"};
  auto error = std::string{};
  EXPECT_FALSE(list_directory("/no/such/folder", entries, error));
  EXPECT_EQ(error, "/no/such/folder: cannot list directory");
  EXPECT_TRUE(entries.empty());
}

TEST(directories, make_nested_existing_and_file_paths) {
  auto dir = scratch_dir("mkdir");
  auto error = std::string{};
  std::filesystem::create_directory(dir.path / "a");
  EXPECT_TRUE(make_directory(dir / "a/b/c", error));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path / "a/b/c"));
  EXPECT_TRUE(make_directory(dir / "a/b/c", error));
  EXPECT_TRUE(make_directory("", error));
  write_file(dir / "file", "x");
  EXPECT_TRUE(make_directory(dir / "file", error));  // something exists there
  EXPECT_FALSE(make_directory(dir / "file/sub", error));
  EXPECT_EQ(error, dir / "file/sub" + ": cannot create directory");
}

TEST(files, load_and_save_text) {
  auto dir = scratch_dir("text");
  auto error = std::string{}, text = std::string{"stale"};
  auto bytes = std::string("line\r\nzero\0byte\n", 16);
  ASSERT_TRUE(save_text(dir / "t.txt", bytes, error)) << error;
  ASSERT_TRUE(load_text(dir / "t.txt", text, error)) << error;
  EXPECT_EQ(text, bytes);

  write_file(dir / "empty", "");
  EXPECT_TRUE(load_text(dir / "empty", text, error));
  EXPECT_EQ(text, "");

  ASSERT_TRUE(save_text(dir / "t.txt", "short", error));
  ASSERT_TRUE(load_text(dir / "t.txt", text, error));
  EXPECT_EQ(text, "short");  // replaced, not appended
}

TEST(files, load_errors) {
  auto dir = scratch_dir("errors");
  auto error = std::string{}, text = std::string{};
  EXPECT_FALSE(load_text(dir / "missing.json", text, error));
  EXPECT_EQ(error, dir / "missing.json" + ": file not found");
  std::filesystem::create_directory(dir.path / "folder.geojson");
  EXPECT_FALSE(load_text(dir / "folder.geojson", text, error));
  EXPECT_EQ(error, dir / "folder.geojson" + ": file not found");
}

TEST(files, save_errors) {
  auto dir = scratch_dir("save");
  auto error = std::string{};
  EXPECT_FALSE(save_text(dir / "no/such/folder.txt", "x", error));
  EXPECT_EQ(error, dir / "no/such/folder.txt" + ": file not found");
  // A device is never written into.
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_FALSE(save_text("/dev/full", std::string(1 << 16, 'x'), error));
    EXPECT_EQ(error, "/dev/full: not a regular file");
  }
  EXPECT_FALSE(save_text(dir.str(), "x", error));
  EXPECT_EQ(error, dir.str() + ": file not found");
  EXPECT_FALSE(save_text(dir / std::string(300, 'n'), "x", error));
  EXPECT_EQ(error, dir / std::string(300, 'n') + ": name too long for the file system");
}

// A write that fails half-way (here: past the file size limit) leaves
// nothing under the name, and an earlier file there stays as it was.
TEST(files, failed_writes_leave_no_partial_file) {
  auto dir = scratch_dir("partial");
  write_file(dir / "old.txt", "old");
  auto error = std::string{}, new_error = std::string{};
  auto big = std::string(1 << 16, 'x');
  auto new_ok = false, old_ok = false;
  {
    auto full = file_size_limit{4096};
    new_ok = save_text(dir / "new.txt", big, error);
    new_error = error;
    old_ok = save_text(dir / "old.txt", big, error);
  }
  EXPECT_FALSE(new_ok);
  EXPECT_EQ(new_error, dir / "new.txt" + ": write error");
  EXPECT_FALSE(old_ok);
  EXPECT_EQ(error, dir / "old.txt" + ": write error");
  EXPECT_FALSE(path_exists(dir / "new.txt"));
  EXPECT_EQ(read_file(dir / "old.txt"), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path),
                          std::filesystem::directory_iterator{}), 1);
}

// A link already in the output folder is replaced, not written through.
TEST(files, links_are_replaced_not_followed) {
  auto dir = scratch_dir("links");
  write_file(dir / "outside.txt", "keep");
  std::filesystem::create_symlink(dir.path / "outside.txt", dir.path / "inside.txt");
  auto error = std::string{};
  ASSERT_TRUE(save_text(dir / "inside.txt", "new", error)) << error;
  EXPECT_EQ(read_file(dir / "outside.txt"), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(dir.path / "inside.txt"));
  EXPECT_EQ(read_file(dir / "inside.txt"), "new");
}

// A FIFO is refused at once instead of waiting for a writer forever.
TEST(files, fifos_are_not_read) {
  auto dir = scratch_dir("fifo");
  ASSERT_EQ(mkfifo((dir / "x.geojson").c_str(), 0600), 0);
  auto text = std::string{}, error = std::string{};
  EXPECT_FALSE(load_text(dir / "x.geojson", text, error));
  EXPECT_EQ(error, dir / "x.geojson" + ": not a regular file");
}
