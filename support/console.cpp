#include "support/console.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

// One process-wide start time; every task that reports step 0 restarts it.
static std::chrono::steady_clock::time_point progress_start =
    std::chrono::steady_clock::now();

void print_line(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

void fatal(const std::string& text) {
  print_line(text);
  std::exit(1);
}

static std::string pad_left(const std::string& text, size_t width, char fill) {
  return text.size() >= width ? text : std::string(width - text.size(), fill) + text;
}

std::string format_progress(const std::string& message, int current, int total,
                            long long elapsed_nanoseconds) {
  long long minutes = elapsed_nanoseconds / 60000000000LL;
  long long rest = elapsed_nanoseconds / 1000000 - minutes * 60000;
  long long seconds = rest / 1000, millis = rest % 1000;

  // The bar length is computed in single precision, as the counts are small;
  // a total of zero (no caller passes one) shows an empty bar, not garbage.
  int n = total > 0 ? (int)(current * 20.0f / total) : 0;
  std::string bar = "[" + std::string(n > 0 ? n : 0, '=');
  if (n < 20) bar += std::string(20 - (n > 0 ? n : 0), ' ');
  bar += "]";

  std::string padded = message;
  if (padded.size() < 30) padded += std::string(30 - padded.size(), ' ');

  return bar + " " + pad_left(std::to_string(current), 4, ' ') + "/" +
         pad_left(std::to_string(total), 4, ' ') + " " +
         pad_left(std::to_string(minutes), 2, '0') + ":" +
         pad_left(std::to_string(seconds), 2, '0') + "." +
         pad_left(std::to_string(millis), 3, '0') + " " + padded;
}

// What the last printed line showed, so that long tasks print a line only
// when it would tell something new.
static std::string progress_message = "";
static long long   progress_percent = -1;
static int         progress_total   = -1;

bool progress_line_due(const std::string& message, int current, int total) {
  auto percent = total > 0 ? (long long)current * 100 / total : 0;
  auto due = total <= 100 || current == 0 || current == total || percent != progress_percent ||
             total != progress_total || message != progress_message;
  if (due) {
    progress_message = message;
    progress_percent = percent;
    progress_total = total;
  }
  return due;
}

void print_progress(const std::string& message, int current, int total) {
  auto now = std::chrono::steady_clock::now();
  if (current == 0) progress_start = now;
  if (!progress_line_due(message, current, total)) return;
  auto elapsed =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now - progress_start).count();
  std::string line = format_progress(message, current, total, elapsed);
  std::printf("\r%s\r", line.c_str());
  if (current == total) std::printf("\n");
  std::fflush(stdout);
}
