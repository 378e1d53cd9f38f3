#pragma once
// Numbers as text for the scene files: the shortest text that reads back as
// the same value, so written scenes keep every bit of their floats.

#include <string>

// The shortest text that reads back as the same float ("0.05", "2", "-1e-07").
std::string format_float(float value);
// The same appended to `out`, without a separator.
void append_float(std::string& out, float value);
// An integer in decimal appended to `out`.
void append_int(std::string& out, long long value);
