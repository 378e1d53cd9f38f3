#include "support/files.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

// Both separators are accepted on input; "/" is used on output.
static std::string forward_slashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

static fs::path make_path(const std::string& path) {
  return fs::u8path(forward_slashes(path));
}

static std::string path_text(const fs::path& path) {
  return forward_slashes(path.generic_u8string());
}

std::string path_dirname(const std::string& path) {
  return path_text(make_path(path).parent_path());
}

std::string path_extension(const std::string& path) {
  return path_text(make_path(path).extension());
}

std::string path_join(const std::string& a, const std::string& b) {
  if (a.empty()) return forward_slashes(b);
  return path_text(make_path(a) / make_path(b));
}

bool path_exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(make_path(path), ec);
}

bool is_directory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(make_path(path), ec);
}

bool list_directory(const std::string& folder, std::vector<std::string>& entries,
                    std::string& error) {
  entries.clear();
  std::error_code ec;
  auto it = fs::directory_iterator(make_path(folder), ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    entries.push_back(path_join(folder, it->path().filename().u8string()));
  }
  if (ec) {
    entries.clear();
    error = folder + ": cannot list directory";
    return false;
  }
  return true;
}

bool make_directory(const std::string& path, std::string& error) {
  if (path.empty() || path_exists(path)) return true;
  std::error_code ec;
  fs::create_directories(make_path(path), ec);
  if (ec) {
    error = path + ": cannot create directory";
    return false;
  }
  return true;
}

FILE* open_file(const std::string& path, const char* mode) {
#ifdef _WIN32
  std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(fs::u8path(path).c_str(), wide_mode.c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

bool load_text(const std::string& path, std::string& text, std::string& error) {
  FILE* fs = is_directory(path) ? nullptr : open_file(path, "rb");
  if (!fs) {
    error = path + ": file not found";
    return false;
  }
  bool ok = std::fseek(fs, 0, SEEK_END) == 0;
  long size = ok ? std::ftell(fs) : -1;
  ok = size >= 0 && std::fseek(fs, 0, SEEK_SET) == 0;
  if (ok) {
    text.resize((size_t)size);
    ok = std::fread(text.data(), 1, text.size(), fs) == text.size();
  }
  std::fclose(fs);
  if (!ok) {
    error = path + ": read error";
    return false;
  }
  return true;
}

bool save_text(const std::string& path, const std::string& text, std::string& error) {
#ifdef _WIN32
  FILE* fs = open_file(path, "wt");
#else
  FILE* fs = open_file(path, "w");
#endif
  if (!fs) {
    error = path + ": file not found";
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), fs) == text.size();
  ok = std::fclose(fs) == 0 && ok;
  if (!ok) {
    error = path + ": write error";
    return false;
  }
  return true;
}
