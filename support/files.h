#pragma once
// Paths, directories and whole-file reading and writing.
//
// Paths are UTF-8 text. Paths returned here use "/" as the separator on every
// platform; paths given here may use "/" or "\". Operations that can fail
// return false and set `error` to the path followed by a fixed suffix such as
// ": file not found".

#include <cstdio>
#include <string>
#include <vector>

// The parent path: "city/scene.json" -> "city", "scene.json" -> "".
std::string path_dirname(const std::string& path);
// The extension of the last element with its dot: "a.tar.gz" -> ".gz";
// ".hidden", ".", ".." and "name" have none ("").
std::string path_extension(const std::string& path);
// b appended to a with one separator; a empty gives b.
std::string path_join(const std::string& a, const std::string& b);
// True when a file or a folder exists at the path.
bool path_exists(const std::string& path);

// The entries of one folder (files and folders, not recursive, unsorted),
// each joined onto the folder path. Fails with ": cannot list directory"
// when the folder does not exist or cannot be read.
bool list_directory(const std::string& folder, std::vector<std::string>& entries,
                    std::string& error);

// Makes the folder and its missing parents; an empty path or anything that
// already exists at the path is success. Fails with ": cannot create directory".
bool make_directory(const std::string& path, std::string& error);

// Reads the whole file byte for byte. ": file not found", ": read error".
bool load_text(const std::string& path, std::string& text, std::string& error);
// Writes the whole file in text mode. ": file not found", ": write error".
bool save_text(const std::string& path, const std::string& text, std::string& error);

// fopen with a UTF-8 path on every platform (wide characters on Windows).
FILE* open_file(const std::string& path, const char* mode);
// True when a folder exists at the path; a folder can be opened like a file
// on some systems but never read as one.
bool is_directory(const std::string& path);
