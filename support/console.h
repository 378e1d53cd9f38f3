#pragma once
// Console output of the generator: plain lines, the fatal exit and progress
// lines. Everything goes to standard output; nothing is written to stderr.

#include <functional>
#include <string>

// Reports the progress of a long task: message, current step, total steps.
// May be empty; callers check before calling.
using progress_callback =
    std::function<void(const std::string& message, int current, int total)>;

// Writes the text and a line feed to standard output.
void print_line(const std::string& text);

// Prints the text as one line and ends the process with exit status 1.
[[noreturn]] void fatal(const std::string& text);

// Rewrites the current console line with a bar, the counts, the time since
// the task started (current == 0 restarts the clock) and the message; ends
// the line when current reaches total. Tasks of up to 100 steps print every
// line; longer ones print the first and the last, and in between a line only
// when the whole percentage or the message changes, so that a task of a
// million steps prints a few hundred lines, not a million.
void print_progress(const std::string& message, int current, int total);

// Whether print_progress prints this call, given the calls printed before;
// it records the call when it does.
bool progress_line_due(const std::string& message, int current, int total);

// The text that print_progress writes for the given elapsed time, without
// touching the clock; kept apart so the layout can be checked byte by byte.
std::string format_progress(const std::string& message, int current, int total,
                            long long elapsed_nanoseconds);
