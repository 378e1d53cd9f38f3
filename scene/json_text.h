#pragma once
// JSON text as the JSON library writes it (a dump with an indent of 2, UTF-8
// kept as it is): floats widened to doubles and written as their shortest
// text, non-finite numbers as null. Writers that emit their documents piece
// by piece use these, so that their text equals a dump of the same values.

#include <initializer_list>
#include <string>
#include <string_view>

void append_json_number(std::string& out, float value);
void append_json_integer(std::string& out, int value);
// A string whose UTF-8 has been checked: quotes, backslashes and control
// characters are escaped, every other byte is written as it is.
void append_json_string(std::string& out, std::string_view text);
// `indent` spaces, then "key": .
void append_json_key(std::string& out, int indent, const char* key);
// An array of numbers, each on a line of its own, the closing bracket at
// `indent`.
void append_json_numbers(std::string& out, int indent, std::initializer_list<float> values);
// A float as the shortest text that reads back as the same float ("0.05"),
// for documents whose numbers are floats (glTF); non-finite numbers as null.
void append_json_float(std::string& out, float value);
