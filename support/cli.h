#pragma once
// A small declarative command-line parser. Each option is declared with its
// names and bound to a variable; parsing fills the variables.
//
// Name syntax: "--output,-o" gives a long and a short name, "--a/--no-a" two
// alternative names, and a name without a leading dash a positional argument.
// Every option takes its value as the next argument, booleans included
// ("true", "1", "false", "0").

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum struct cli_kind : int32_t { integer = 0, uinteger = 1, number = 2, boolean = 3, string = 4 };

struct cli_value {
  cli_kind    kind     = cli_kind::string;
  int64_t     integer  = 0;  // booleans are stored here as 1 or 0
  uint64_t    uinteger = 0;
  double      number   = 0;
  std::string text     = "";
};

struct cli_entry {
  std::string            name     = "";
  cli_kind               kind     = cli_kind::string;
  bool                   required = false;
  int                    nargs    = 1;  // negative: all remaining arguments
  std::string            usage    = "";
  std::vector<cli_value> value    = {};
  std::vector<cli_value> defaults = {};
  bool                   set      = false;
  std::function<void(const std::vector<cli_value>&)> store = {};
};

struct cli_parser {
  std::string            name    = "";
  std::string            usage   = "";
  std::vector<cli_entry> entries = {};
  bool                   help    = false;
};

// A parser with the "--help/--no-help" option already declared.
cli_parser new_command_line(const std::string& name, const std::string& usage);

// Declares an option or positional argument bound to a variable. The
// variable's current value is the default; it is written only when the
// command line gives the entry. The variable must outlive the parse.
void declare_option(cli_parser& parser, const std::string& name, bool& value,
                    const std::string& usage, bool required = false);
void declare_option(cli_parser& parser, const std::string& name, std::string& value,
                    const std::string& usage, bool required = false);

// Parses the arguments (without the program name). Returns false with the
// message on a bad declaration or a bad command line; on success the bound
// variables and `parser.help` are filled.
bool parse_arguments(cli_parser& parser, std::vector<std::string> args,
                     std::string& error);

// Parses argv and returns only when the command line is good and no help was
// asked for. Otherwise prints "error: " + message, a blank line and the usage
// and exits with 1, or prints the usage for a help request and exits with 0.
void parse_command_line(cli_parser& parser, int argc, const char** argv);

// The usage text: a heading line, then the options and the arguments blocks.
std::string command_usage(const cli_parser& parser);
