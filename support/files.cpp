#include "support/files.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <system_error>
#include <vector>

#include <cerrno>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

bool has_extension(const std::string& path, const std::string& lower) {
  auto extension = path_extension(path);
  if (extension == lower) return true;
  auto upper = lower;
  for (auto& c : upper)
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
  return extension == upper;
}

#ifndef _WIN32

namespace {

// What is at a path, without following a link there.
enum struct entry_type { none, regular, link, folder, other };

entry_type entry_at(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return entry_type::none;
  if (S_ISREG(info.st_mode)) return entry_type::regular;
  if (S_ISLNK(info.st_mode)) return entry_type::link;
  if (S_ISDIR(info.st_mode)) return entry_type::folder;
  return entry_type::other;
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    auto written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= (size_t)written;
  }
  return true;
}

// Creates a new file (never an existing one, never through a link), writes
// the bytes and closes it; on failure nothing is left at the path. Returns 0
// or the errno of the failing call; EIO stands for a failed write.
int create_file(const std::string& path, const char* data, size_t size) {
  auto fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return errno;
  auto ok = write_all(fd, data, size);
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    ::unlink(path.c_str());
    return EIO;
  }
  return 0;
}

std::atomic<unsigned> temporary_count{0};

// A short name, so that a final name near the file system's limit still
// leaves room for it.
std::string temporary_path(const std::string& path) {
  auto folder = path_dirname(path);
  auto name = ".tmp-" + std::to_string((long long)::getpid()) + "-" +
              std::to_string(temporary_count.fetch_add(1));
  return folder.empty() ? name : folder + "/" + name;
}

bool creation_error(const std::string& path, int code, std::string& error) {
  if (code == ENAMETOOLONG) {
    error = path + ": name too long for the file system";
  } else if (code == EIO || code == ENOSPC || code == EDQUOT || code == EFBIG) {
    error = path + ": write error";
  } else {
    error = path + ": file not found";
  }
  return false;
}

// The checks both ways of writing make before any byte is written.
bool can_replace(const std::string& path, entry_type type, std::string& error) {
  if (type == entry_type::folder) return error = path + ": file not found", false;
  if (type == entry_type::other) return error = path + ": not a regular file", false;
  return true;
}

// A fresh temporary file in the folder of `path`, open for writing; -1 with
// `error` naming `path` when none can be made.
int create_temporary(const std::string& path, std::string& temp, std::string& error) {
  if (!can_replace(path, entry_at(path), error)) return -1;
  for (;;) {
    temp = temporary_path(path);
    auto fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) return fd;
    auto code = errno;
    if (code != EEXIST) {
      temp.clear();
      creation_error(path, code, error);
      return -1;
    }
  }
}

bool write_hidden(const std::string& path, const char* data, size_t size, std::string& temp,
                  std::string& error) {
  auto fd = create_temporary(path, temp, error);
  if (fd < 0) return false;
  auto ok = write_all(fd, data, size);
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    ::unlink(temp.c_str());
    temp.clear();
    return creation_error(path, EIO, error);
  }
  return true;
}

}  // namespace

hidden_file::~hidden_file() {
  if (fd >= 0) ::close(fd);
  if (!temp.empty()) ::unlink(temp.c_str());
}

bool open_hidden_file(const std::string& path, hidden_file& file, std::string& error) {
  file.path = path;
  file.fd = create_temporary(path, file.temp, error);
  return file.fd >= 0;
}

static bool write_hidden_bytes(hidden_file& file, const std::string& bytes, std::string& error) {
  if (file.fd >= 0 && write_all(file.fd, bytes.data(), bytes.size())) return true;
  if (file.fd >= 0) ::close(file.fd);
  file.fd = -1;
  if (!file.temp.empty()) ::unlink(file.temp.c_str());
  file.temp.clear();
  return creation_error(file.path, EIO, error);
}

bool close_hidden_file(hidden_file& file, std::string& temp, std::string& error) {
  auto ok = file.fd >= 0 && ::close(file.fd) == 0;
  file.fd = -1;
  if (!ok) {
    if (!file.temp.empty()) ::unlink(file.temp.c_str());
    file.temp.clear();
    return creation_error(file.path, EIO, error);
  }
  temp = std::move(file.temp);
  file.temp.clear();
  return true;
}

bool load_text(const std::string& path, std::string& text, std::string& error) {
  // Opening a FIFO for reading waits for a writer: open without waiting and
  // look at what was opened before reading anything.
  auto fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return error = path + ": file not found", false;
  struct stat info;
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return error = path + ": file not found", false;
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    return error = path + ": not a regular file", false;
  }
  auto ok = true;
  try {
    text.resize((size_t)info.st_size);
  } catch (const std::exception&) {
    ok = false;
  }
  auto done = size_t{0};
  while (ok && done < text.size()) {
    auto count = ::read(fd, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) ok = false;
    else done += (size_t)count;
  }
  ::close(fd);
  if (!ok) return error = path + ": read error", false;
  return true;
}

bool save_file(const std::string& path, const void* data, size_t size, std::string& error) {
  auto bytes = (const char*)data;
  // The common case, a new file, takes one open, the writes and one close.
  auto code = create_file(path, bytes, size);
  if (code == 0) return true;
  if (code != EEXIST) return creation_error(path, code, error);
  auto temp = std::string{};
  if (!write_hidden(path, bytes, size, temp, error)) return false;
  return publish_file(temp, path, error);
}

bool save_file_hidden(const std::string& path, const std::string& data, std::string& temp,
                      std::string& error) {
  return write_hidden(path, data.data(), data.size(), temp, error);
}

bool publish_file(const std::string& temp, const std::string& path, std::string& error) {
  // rename replaces a link itself, not the file it points to.
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    auto code = errno;
    ::unlink(temp.c_str());
    if (code == EISDIR || code == ENOTDIR) return error = path + ": file not found", false;
    return creation_error(path, code == EIO ? EACCES : code, error);
  }
  return true;
}

void remove_file(const std::string& path) {
  auto type = entry_at(path);
  if (type == entry_type::regular || type == entry_type::link) ::unlink(path.c_str());
}

#else  // _WIN32

// Windows: paths go to the system as UTF-16 (make_path), files are opened in
// binary mode, and a file is replaced by MoveFileExW, which (unlike rename
// in the C library) moves over an existing file.

namespace {

std::atomic<unsigned> temporary_count{0};

std::string temporary_path(const std::string& path) {
  auto folder = path_dirname(path);
  auto name = ".tmp-" + std::to_string((unsigned long)GetCurrentProcessId()) + "-" +
              std::to_string(temporary_count.fetch_add(1));
  return folder.empty() ? name : folder + "/" + name;
}

bool creation_error(const std::string& path, int code, std::string& error) {
  if (code == ENAMETOOLONG) return error = path + ": name too long for the file system", false;
  if (code == EIO || code == ENOSPC || code == EFBIG) return error = path + ": write error", false;
  return error = path + ": file not found", false;
}

// A fresh temporary file in the folder of `path`, open for binary writing;
// null with `error` naming `path` when none can be made.
FILE* create_temporary(const std::string& path, std::string& temp, std::string& error) {
  if (is_directory(path)) return error = path + ": file not found", nullptr;
  for (;;) {
    temp = temporary_path(path);
    auto fd = _wopen(make_path(temp).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                     _S_IREAD | _S_IWRITE);
    if (fd >= 0) {
      if (auto file = _fdopen(fd, "wb")) return file;
      _close(fd);
      std::error_code ec;
      fs::remove(make_path(temp), ec);
      temp.clear();
      return creation_error(path, EIO, error), nullptr;
    }
    auto code = errno;
    if (code != EEXIST) {
      temp.clear();
      return creation_error(path, code, error), nullptr;
    }
  }
}

void remove_temporary(std::string& temp) {
  std::error_code ec;
  if (!temp.empty()) fs::remove(make_path(temp), ec);
  temp.clear();
}

}  // namespace

bool load_text(const std::string& path, std::string& text, std::string& error) {
  std::error_code ec;
  auto status = fs::status(make_path(path), ec);
  if (ec || !fs::exists(status) || fs::is_directory(status))
    return error = path + ": file not found", false;
  if (!fs::is_regular_file(status)) return error = path + ": not a regular file", false;
  FILE* file = open_file(path, "rb");
  if (!file) return error = path + ": file not found", false;
  auto size = fs::file_size(make_path(path), ec);
  auto ok = !ec;
  try {
    if (ok) text.resize((size_t)size);
  } catch (const std::exception&) {
    ok = false;
  }
  ok = ok && std::fread(text.data(), 1, text.size(), file) == text.size();
  std::fclose(file);
  if (!ok) return error = path + ": read error", false;
  return true;
}

bool save_file_hidden(const std::string& path, const std::string& data, std::string& temp,
                      std::string& error) {
  FILE* file = create_temporary(path, temp, error);
  if (!file) return false;
  bool ok = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    remove_temporary(temp);
    return creation_error(path, EIO, error);
  }
  return true;
}

hidden_file::~hidden_file() {
  if (stream) std::fclose(stream);
  remove_temporary(temp);
}

bool open_hidden_file(const std::string& path, hidden_file& file, std::string& error) {
  file.path = path;
  file.stream = create_temporary(path, file.temp, error);
  return file.stream != nullptr;
}

static bool write_hidden_bytes(hidden_file& file, const std::string& bytes, std::string& error) {
  if (file.stream && std::fwrite(bytes.data(), 1, bytes.size(), file.stream) == bytes.size())
    return true;
  if (file.stream) std::fclose(file.stream);
  file.stream = nullptr;
  remove_temporary(file.temp);
  return creation_error(file.path, EIO, error);
}

bool close_hidden_file(hidden_file& file, std::string& temp, std::string& error) {
  auto ok = file.stream && std::fclose(file.stream) == 0;
  file.stream = nullptr;
  if (!ok) {
    remove_temporary(file.temp);
    return creation_error(file.path, EIO, error);
  }
  temp = std::move(file.temp);
  file.temp.clear();
  return true;
}

bool publish_file(const std::string& temp, const std::string& path, std::string& error) {
  // Replaces a file or a link itself; a folder at the path stays.
  if (!MoveFileExW(make_path(temp).c_str(), make_path(path).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    auto code = GetLastError();
    std::error_code ec;
    fs::remove(make_path(temp), ec);
    if (code == ERROR_FILENAME_EXCED_RANGE)
      return error = path + ": name too long for the file system", false;
    if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL)
      return error = path + ": write error", false;
    return error = path + ": file not found", false;
  }
  return true;
}

bool save_file(const std::string& path, const void* data, size_t size, std::string& error) {
  auto temp = std::string{};
  if (!save_file_hidden(path, std::string((const char*)data, size), temp, error)) return false;
  return publish_file(temp, path, error);
}

void remove_file(const std::string& path) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(make_path(path), ec))) fs::remove(make_path(path), ec);
}

#endif

// Text is written as it is: a line feed is one byte on every platform, so
// that the files written on Windows equal those written on Linux.
bool save_text(const std::string& path, const std::string& text, std::string& error) {
  return save_file(path, text, error);
}

bool save_text_hidden(const std::string& path, const std::string& text, std::string& temp,
                      std::string& error) {
  return save_file_hidden(path, text, temp, error);
}

bool write_hidden_text(hidden_file& file, const std::string& text, std::string& error) {
  return write_hidden_bytes(file, text, error);
}

// A hidden file that failed: closed, its temporary removed.
static bool drop_hidden_file(hidden_file& file, std::string& error) {
#ifdef _WIN32
  if (file.stream) std::fclose(file.stream);
  file.stream = nullptr;
  remove_temporary(file.temp);
#else
  if (file.fd >= 0) ::close(file.fd);
  file.fd = -1;
  if (!file.temp.empty()) ::unlink(file.temp.c_str());
  file.temp.clear();
#endif
  return error = file.path + ": write error", false;
}

bool rewrite_hidden_text(hidden_file& file, uint64_t offset, const std::string& text,
                         std::string& error) {
  auto ok = false;
#ifdef _WIN32
  if (file.stream && std::fflush(file.stream) == 0 &&
      _fseeki64(file.stream, (long long)offset, SEEK_SET) == 0) {
    ok = std::fwrite(text.data(), 1, text.size(), file.stream) == text.size();
    ok = _fseeki64(file.stream, 0, SEEK_END) == 0 && ok;
  }
#else
  if (file.fd >= 0) {
    ok = true;
    for (size_t done = 0; ok && done < text.size();) {
      auto count = ::pwrite(file.fd, text.data() + done, text.size() - done,
                            (off_t)(offset + done));
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) ok = false;
      else done += (size_t)count;
    }
  }
#endif
  return ok || drop_hidden_file(file, error);
}

bool append_hidden_file(hidden_file& file, const std::string& source, std::string& error) {
  auto ok = false;
  auto chunk = std::vector<char>{};
#ifdef _WIN32
  if (file.stream) {
    if (auto in = open_file(source, "rb")) {
      chunk.resize((size_t)1 << 20);
      ok = true;
      while (ok) {
        auto got = std::fread(chunk.data(), 1, chunk.size(), in);
        if (got == 0) break;
        ok = std::fwrite(chunk.data(), 1, got, file.stream) == got;
      }
      ok = ok && !std::ferror(in);
      std::fclose(in);
    }
  }
#else
  auto in = file.fd >= 0 ? ::open(source.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (in >= 0) {
    auto done = false;
#ifdef __linux__
    // The kernel copies from cache to cache, without the bytes passing
    // through here; where it cannot, the plain copy below goes on from
    // where it stopped (both files' offsets moved with what it copied).
    for (;;) {
      auto count = ::copy_file_range(in, nullptr, file.fd, nullptr, (size_t)1 << 30, 0);
      if (count < 0 && errno == EINTR) continue;
      if (count == 0) done = true;
      if (count <= 0) break;
    }
#endif
    ok = true;
    if (!done) chunk.resize((size_t)1 << 20);
    while (ok && !done) {
      auto got = ::read(in, chunk.data(), chunk.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) ok = false;
      else if (got == 0) done = true;
      else ok = write_all(file.fd, chunk.data(), (size_t)got);
    }
    ::close(in);
  }
#endif
  return ok || drop_hidden_file(file, error);
}

bool seek_file(FILE* file, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, (long long)offset, SEEK_SET) == 0;
#else
  return fseeko(file, (off_t)offset, SEEK_SET) == 0;
#endif
}
