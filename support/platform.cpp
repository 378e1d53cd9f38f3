#include "support/platform.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#endif

#ifdef _WIN32

static std::string utf8_text(const wchar_t* text) {
  auto length = (int)wcslen(text);
  if (length == 0) return {};
  auto size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  auto out = std::string((size_t)size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

void utf8_command_line(int& argc, const char**& argv) {
  // The process's own copies: argv points into them until it ends.
  static std::vector<std::string> arguments;
  static std::vector<const char*> pointers;
  auto count = 0;
  auto wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide) {
    arguments.clear();
    for (auto i = 0; i < count; i++) arguments.push_back(utf8_text(wide[i]));
    LocalFree(wide);
    pointers.clear();
    for (auto& argument : arguments) pointers.push_back(argument.c_str());
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
  }
  SetConsoleOutputCP(CP_UTF8);
  std::fflush(stdout);
  std::fflush(stderr);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

void exit_now(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}

#else

void utf8_command_line(int&, const char**&) {}

void exit_now(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::quick_exit(status);
}

#endif

void utf8_command_line(int& argc, char**& argv) {
  auto arguments = (const char**)argv;
  utf8_command_line(argc, arguments);
  argv = (char**)arguments;
}
