#pragma once
// Paths, directories and whole-file reading and writing.
//
// Paths are UTF-8 text. Paths returned here use "/" as the separator on every
// platform; paths given here may use "/" or "\". Operations that can fail
// return false and set `error` to the path followed by a fixed suffix such as
// ": file not found".

#include <cstdint>
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

// True when the extension of the path is exactly `lower` (given in lower
// case, dot included) or its all-upper-case form: ".ply" or ".PLY", never
// ".Ply". Every file format of the system is chosen this way.
bool has_extension(const std::string& path, const std::string& lower);

// Reads the whole file byte for byte. ": file not found", ": read error".
// Only regular files are read: a folder is ": file not found", and a FIFO,
// socket or device ": not a regular file", refused without waiting on it.
bool load_text(const std::string& path, std::string& text, std::string& error);
// Writes the whole text through save_file, byte for byte: a line feed stays
// one byte on every platform, so the files are the same everywhere.
bool save_text(const std::string& path, const std::string& text, std::string& error);

// The one way files are written. The bytes go to a new file: a file or a
// link already at the path is replaced (a temporary name in the same folder
// renamed into place), never written through, so a link cannot send the
// bytes outside the output folder. A failed write leaves nothing under the
// name: no half-written file, and an earlier file at the path stays as it
// was. Fails with ": file not found" when the file cannot be created (no such
// folder, or a folder at the path), ": not a regular file" (a FIFO or device
// at the path), ": name too long for the file system" and ": write error".
// Safe to call from several threads for different paths.
bool save_file(const std::string& path, const void* data, size_t size, std::string& error);
inline bool save_file(const std::string& path, const std::string& data, std::string& error) {
  return save_file(path, data.data(), data.size(), error);
}

// save_file in two steps, for a file that must appear only after others are
// complete (a scene file after its shapes): the bytes are written under a
// fresh temporary name in the folder of `path`, returned in `temp`, and
// publish_file moves them to `path`. Errors name `path`, never the
// temporary; a failed step removes the temporary.
bool save_file_hidden(const std::string& path, const std::string& data, std::string& temp,
                      std::string& error);
bool publish_file(const std::string& temp, const std::string& path, std::string& error);
// save_file_hidden of a text, as save_text writes it.
bool save_text_hidden(const std::string& path, const std::string& text, std::string& temp,
                      std::string& error);

// save_text_hidden for a text made and written part by part, too big to be
// held whole (the scene file of a big city): open_hidden_file creates the
// fresh temporary file, write_hidden_text appends a part, close_hidden_file
// ends the file and returns its temporary name for publish_file. Errors name
// `path`, never the temporary, and a failed step removes the temporary; so
// does the destructor of a file that was not closed.
struct hidden_file {
  std::string path = "";
  std::string temp = "";
#ifdef _WIN32
  FILE* stream = nullptr;
#else
  int fd = -1;
#endif
  hidden_file() = default;
  hidden_file(const hidden_file&) = delete;
  hidden_file& operator=(const hidden_file&) = delete;
  ~hidden_file();
};
bool open_hidden_file(const std::string& path, hidden_file& file, std::string& error);
bool write_hidden_text(hidden_file& file, const std::string& text, std::string& error);
bool close_hidden_file(hidden_file& file, std::string& temp, std::string& error);
// Writes over bytes already written from `offset` on (a count in a header
// known only at the end); the file goes on growing at its end. Fails like
// write_hidden_text, removing the temporary.
bool rewrite_hidden_text(hidden_file& file, uint64_t offset, const std::string& text,
                         std::string& error);
// Appends the whole of the file at `source` (a part written before); fails
// like write_hidden_text, removing the temporary, when the part cannot be
// read or its bytes written.
bool append_hidden_file(hidden_file& file, const std::string& source, std::string& error);
// Removes the file or link at the path (never what a link points to) when it
// is not a folder; nothing there is fine.
void remove_file(const std::string& path);

// fopen with a UTF-8 path on every platform (wide characters on Windows).
FILE* open_file(const std::string& path, const char* mode);
// fseek to a byte offset from the start, past 2 GiB on every platform.
bool seek_file(FILE* file, uint64_t offset);
// True when a folder exists at the path; a folder can be opened like a file
// on some systems but never read as one.
bool is_directory(const std::string& path);
