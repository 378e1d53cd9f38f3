#pragma once
// Helpers shared by the tests: scratch folders and running built programs.

#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// A fresh folder under the system temp folder, removed at the end of the test.
struct scratch_dir {
  std::filesystem::path path;
  explicit scratch_dir(const std::string& tag) {
    auto base = std::filesystem::temp_directory_path();
    for (int i = 0;; i++) {
      path = base / ("blockgen-" + tag + "-" + std::to_string(::getpid()) + "-" +
                     std::to_string(i));
      if (std::filesystem::create_directory(path)) break;
    }
  }
  ~scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string str() const { return path.generic_string(); }
  std::string operator/(const std::string& name) const { return (path / name).generic_string(); }
};

// While it lives, files this process writes may hold at most `bytes`: a
// write past that fails as on a full disk (the signal it would raise is
// ignored).
struct file_size_limit {
  rlimit old = {};
  void (*old_handler)(int) = nullptr;
  explicit file_size_limit(rlim_t bytes) {
    old_handler = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old);
    auto lowered = rlimit{bytes, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~file_size_limit() {
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
  }
  file_size_limit(const file_size_limit&) = delete;
  file_size_limit& operator=(const file_size_limit&) = delete;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

inline std::string shell_quote(const std::string& text) {
  auto quoted = std::string{"'"};
  for (auto c : text) quoted += c == '\'' ? std::string{"'\\''"} : std::string(1, c);
  return quoted + "'";
}

// Copies the built façade images and tree models into an input folder, where
// blockgen looks for them.
inline void copy_assets(const std::string& input_dir) {
  for (auto folder : {"buildings_texture", "tree_models"}) {
    std::filesystem::copy(std::filesystem::path(ASSETS_DIR) / folder,
                          std::filesystem::path(input_dir) / folder,
                          std::filesystem::copy_options::recursive);
  }
}

struct program_run {
  int         status = -1;  // exit status, or -1 when killed by a signal
  std::string out    = "";
  std::string err    = "";
};

// Runs a program with arguments in a working folder and captures both streams.
inline program_run run_program(const std::string& program, const std::vector<std::string>& args,
                               const std::string& workdir = ".") {
  auto streams = scratch_dir("streams");
  auto command = "cd " + shell_quote(workdir) + " && " + shell_quote(program);
  for (auto& arg : args) command += " " + shell_quote(arg);
  command += " >" + shell_quote(streams / "out") + " 2>" + shell_quote(streams / "err");
  auto result = program_run{};
  auto status = std::system(command.c_str());
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_file(streams / "out");
  result.err = read_file(streams / "err");
  return result;
}
