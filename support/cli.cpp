#include "support/cli.h"

#include <algorithm>
#include <cstdlib>

#include "support/console.h"

static const char* help_name = "--help/--no-help";

cli_parser new_command_line(const std::string& name, const std::string& usage) {
  auto parser = cli_parser{name, usage, {}, false};
  // The parser is returned by value, so its help flag cannot be bound by
  // address; parse_arguments reads it back from this entry instead.
  auto value = cli_value{};
  value.kind = cli_kind::boolean;
  parser.entries.push_back(
      cli_entry{help_name, cli_kind::boolean, false, 1, "Print usage.", {value}, {value}, false, {}});
  return parser;
}

void declare_option(cli_parser& parser, const std::string& name, bool& value,
                    const std::string& usage, bool required) {
  auto def = cli_value{};
  def.kind = cli_kind::boolean;
  def.integer = value ? 1 : 0;
  parser.entries.push_back(cli_entry{name, cli_kind::boolean, required, 1, usage, {def}, {def},
      false, [&value](const std::vector<cli_value>& values) {
        if (!values.empty()) value = values.front().integer != 0;
      }});
}

void declare_option(cli_parser& parser, const std::string& name, std::string& value,
                    const std::string& usage, bool required) {
  auto def = cli_value{};
  def.kind = cli_kind::string;
  def.text = value;
  parser.entries.push_back(cli_entry{name, cli_kind::string, required, 1, usage, {def}, {def},
      false, [&value](const std::vector<cli_value>& values) {
        if (!values.empty()) value = values.front().text;
      }});
}

// Splits a declared name at "," and "/"; empty pieces are dropped.
static std::vector<std::string> split_names(const std::string& name) {
  auto names = std::vector<std::string>{};
  auto piece = std::string{};
  for (auto c : name) {
    if (c == ',' || c == '/') {
      if (!piece.empty()) names.push_back(piece);
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (!piece.empty()) names.push_back(piece);
  return names;
}

static bool is_option_name(const std::string& name) {
  return !name.empty() && name[0] == '-';
}

static bool check_declarations(const cli_parser& parser, std::string& error) {
  auto used = std::vector<std::string>{};
  for (auto& entry : parser.entries) {
    if (entry.name.empty()) return error = "name cannot be empty", false;
    if (entry.name.find_first_of(" \t\r\n") != std::string::npos)
      return error = "option name cannot contain whitespaces", false;
    auto names = split_names(entry.name);
    if (names.empty()) return error = "option name cannot be empty", false;
    for (auto& name : names) {
      if (is_option_name(name) != is_option_name(names.front()))
        return error = "inconsistent option names for " + name, false;
      if (std::find(used.begin(), used.end(), name) != used.end())
        return error = "option name " + name + " already in use", false;
      used.push_back(name);
      if (is_option_name(name) != is_option_name(entry.name))
        return error = "inconsistent option type for " + name, false;
    }
  }
  return true;
}

// Converts the value texts of an entry by its kind.
static bool convert_values(cli_entry& entry) {
  for (auto& value : entry.value) {
    value.kind = entry.kind;
    if (entry.kind == cli_kind::boolean) {
      if (value.text == "true" || value.text == "1") {
        value.integer = 1;
      } else if (value.text == "false" || value.text == "0") {
        value.integer = 0;
      } else {
        return false;
      }
    } else if (entry.kind != cli_kind::string) {
      return false;  // no other kind is ever declared
    }
  }
  return true;
}

static std::vector<cli_value> texts_to_values(
    std::vector<std::string>::iterator first, std::vector<std::string>::iterator last) {
  auto values = std::vector<cli_value>{};
  for (auto it = first; it != last; ++it) {
    auto value = cli_value{};
    value.text = *it;
    values.push_back(value);
  }
  return values;
}

bool parse_arguments(cli_parser& parser, std::vector<std::string> args, std::string& error) {
  if (!check_declarations(parser, error)) return false;

  // Options first, in declaration order, so positionals see only what is left.
  for (auto& entry : parser.entries) {
    if (!is_option_name(entry.name)) continue;
    entry.value = entry.defaults;
    entry.set = false;
    if (entry.nargs <= 0) return error = "unsupported number of arguments", false;
    for (auto& name : split_names(entry.name)) {
      auto pos = std::find(args.begin(), args.end(), name);
      if (pos == args.end()) continue;
      pos = args.erase(pos);
      if (args.end() - pos < entry.nargs) return error = "missing value for " + name, false;
      entry.value = texts_to_values(pos, pos + entry.nargs);
      args.erase(pos, pos + entry.nargs);
      entry.set = true;
    }
    if (entry.set) {
      if (!convert_values(entry)) return error = "bad value for " + entry.name, false;
      if (entry.store) entry.store(entry.value);
    } else if (entry.required) {
      return error = "missing value for " + entry.name, false;
    }
  }

  for (auto& arg : args) {
    if (is_option_name(arg)) return error = "unknown option " + arg, false;
  }

  for (auto& entry : parser.entries) {
    if (is_option_name(entry.name)) continue;
    entry.value = entry.defaults;
    entry.set = false;
    if (entry.nargs == 0) return error = "unsupported number of arguments", false;
    if (!args.empty()) {
      auto count = entry.nargs < 0 ? (int)args.size() : entry.nargs;
      if ((int)args.size() < count) return error = "missing value for " + entry.name, false;
      entry.value = texts_to_values(args.begin(), args.begin() + count);
      args.erase(args.begin(), args.begin() + count);
      entry.set = true;
      if (!convert_values(entry)) return error = "bad value for " + entry.name, false;
      if (entry.store) entry.store(entry.value);
    } else if (entry.required) {
      return error = "missing value for " + entry.name, false;
    }
  }

  if (!args.empty()) return error = "mismatched value for " + args.front(), false;

  for (auto& entry : parser.entries) {
    if (entry.name == help_name && !entry.value.empty())
      parser.help = entry.value.front().integer != 0;
  }
  return true;
}

void parse_command_line(cli_parser& parser, int argc, const char** argv) {
  auto args = std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto error = std::string{};
  if (!parse_arguments(parser, args, error)) {
    print_line("error: " + error);
    print_line("");
    print_line(command_usage(parser));
    std::exit(1);
  }
  if (parser.help) {
    print_line(command_usage(parser));
    std::exit(0);
  }
}

static std::string kind_label(cli_kind kind) {
  switch (kind) {
    case cli_kind::integer: return "integer";
    case cli_kind::uinteger: return "uinteger";
    case cli_kind::number: return "number";
    case cli_kind::boolean: return "boolean";
    case cli_kind::string: return "string";
  }
  return "";
}

static std::string value_text(const cli_value& value) {
  switch (value.kind) {
    case cli_kind::integer: return std::to_string(value.integer);
    case cli_kind::uinteger: return std::to_string(value.uinteger);
    case cli_kind::number: return std::to_string(value.number);
    case cli_kind::boolean: return value.integer ? "true" : "false";
    case cli_kind::string: return value.text;
  }
  return "";
}

static std::string usage_line(const cli_entry& entry) {
  auto line = "  " + entry.name + " <" + (entry.nargs < 0 ? "[" : "") +
              kind_label(entry.kind) + (entry.nargs < 0 ? "]" : "") + ">";
  if (line.size() < 32) line += std::string(32 - line.size(), ' ');
  line += entry.usage + " ";
  if (entry.required) {
    line += "[required]";
  } else {
    line += "[";
    for (auto& value : entry.defaults) line += value_text(value);
    line += "]";
  }
  return line + "\n";
}

std::string command_usage(const cli_parser& parser) {
  auto options = std::string{}, arguments = std::string{};
  for (auto& entry : parser.entries) {
    (is_option_name(entry.name) ? options : arguments) += usage_line(entry);
  }
  auto text = "usage: " + parser.name;
  if (!options.empty()) text += " [options]";
  if (!arguments.empty()) text += " <arguments>";
  text += parser.usage + "\n\n";
  if (!options.empty()) text += "options:\n" + options + "\n";
  if (!arguments.empty()) text += "arguments:\n" + arguments + "\n";
  return text;
}
