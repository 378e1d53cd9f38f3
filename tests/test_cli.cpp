#include <gtest/gtest.h>

#include "support/cli.h"

// The driver's own declarations: the fixture every case parses against.
struct driver_cli {
  bool        info = false, validate = false;
  std::string copyright = "", output = "out.json", dirname = "";
  cli_parser  parser = new_command_line("urbangen", "Process scene");

  driver_cli() {
    declare_option(parser, "--info,-i", info, "print scene info");
    declare_option(parser, "--copyright,-c", copyright, "copyright string");
    declare_option(parser, "--validate/--no-validate", validate, "Validate scene");
    declare_option(parser, "--output,-o", output, "output scene");
    declare_option(parser, "dirname", dirname, "input directory", true);
  }
  // The error text of a failing parse, or "" on success.
  std::string parse(const std::vector<std::string>& args) {
    auto error = std::string{};
    return parse_arguments(parser, args, error) ? "" : error;
  }
};

TEST(cli, usage_text_of_the_driver) {
  auto cli = driver_cli{};
  EXPECT_EQ(command_usage(cli.parser),
            "usage: urbangen [options] <arguments>Process scene\n"
            "\n"
            "options:\n"
            "  --help/--no-help <boolean>    Print usage. [false]\n"
            "  --info,-i <boolean>           print scene info [false]\n"
            "  --copyright,-c <string>       copyright string []\n"
            "  --validate/--no-validate <boolean>Validate scene [false]\n"
            "  --output,-o <string>          output scene [out.json]\n"
            "\n"
            "arguments:\n"
            "  dirname <string>              input directory [required]\n"
            "\n");
}

TEST(cli, usage_blocks_follow_what_is_declared) {
  auto flag = true;
  auto word = std::string{};
  auto only_options = new_command_line("tool", " does things");
  declare_option(only_options, "--flag", flag, "a flag");
  EXPECT_EQ(command_usage(only_options),
            "usage: tool [options] does things\n\n"
            "options:\n"
            "  --help/--no-help <boolean>    Print usage. [false]\n"
            "  --flag <boolean>              a flag [true]\n\n");

  auto with_positional = new_command_line("tool", "");
  declare_option(with_positional, "word", word, "a word");
  EXPECT_NE(command_usage(with_positional).find("arguments:\n  word <string>"), std::string::npos);
}

TEST(cli, values_reach_the_bound_variables) {
  auto cli = driver_cli{};
  EXPECT_EQ(cli.parse({"-o", "city/scene.json", "--info", "1", "--no-validate", "true", "in"}), "");
  EXPECT_EQ(cli.output, "city/scene.json");
  EXPECT_TRUE(cli.info);
  EXPECT_TRUE(cli.validate);  // an alternative name is just another name
  EXPECT_EQ(cli.dirname, "in");
  EXPECT_FALSE(cli.parser.help);

  auto defaults = driver_cli{};
  EXPECT_EQ(defaults.parse({"dir"}), "");
  EXPECT_EQ(defaults.output, "out.json");
  EXPECT_FALSE(defaults.info);
  EXPECT_EQ(defaults.copyright, "");
}

TEST(cli, boolean_values_are_exact) {
  for (auto [text, expected] : std::vector<std::pair<std::string, bool>>{
           {"true", true}, {"1", true}, {"false", false}, {"0", false}}) {
    auto cli = driver_cli{};
    cli.info = !expected;
    EXPECT_EQ(cli.parse({"--info", text, "d"}), "") << text;
    EXPECT_EQ(cli.info, expected) << text;
  }
  for (auto text : {"yes", "TRUE", "2", ""}) {
    auto cli = driver_cli{};
    EXPECT_EQ(cli.parse({"-i", text, "d"}), "bad value for --info,-i") << text;
  }
}

TEST(cli, error_messages) {
  EXPECT_EQ(driver_cli{}.parse({}), "missing value for dirname");
  EXPECT_EQ(driver_cli{}.parse({"d", "--info"}), "missing value for --info");
  EXPECT_EQ(driver_cli{}.parse({"d", "-o"}), "missing value for -o");
  EXPECT_EQ(driver_cli{}.parse({"--output", "a", "--output", "b", "d"}),
            "unknown option --output");
  EXPECT_EQ(driver_cli{}.parse({"d", "--verbose"}), "unknown option --verbose");
  // joined with an equals sign, a name is no match
  EXPECT_EQ(driver_cli{}.parse({"--output=a", "d"}), "unknown option --output=a");
  EXPECT_EQ(driver_cli{}.parse({"one", "two"}), "mismatched value for two");
  EXPECT_EQ(driver_cli{}.parse({"--help"}), "missing value for --help");
  EXPECT_EQ(driver_cli{}.parse({"--help", "true"}), "missing value for dirname");
}

TEST(cli, unknown_options_are_found_after_declared_ones_are_taken) {
  // "-x" sits before a declared option's value; the value is taken first.
  auto cli = driver_cli{};
  EXPECT_EQ(cli.parse({"-x", "-o", "-y", "d"}), "unknown option -x");
  EXPECT_EQ(cli.output, "-y");
}

TEST(cli, help_is_read_after_a_good_parse) {
  auto cli = driver_cli{};
  EXPECT_EQ(cli.parse({"--help", "true", "d"}), "");
  EXPECT_TRUE(cli.parser.help);
}

TEST(cli, declaration_checks) {
  auto check = [](const std::string& name, const std::string& second = "") {
    auto a = false, b = false;
    auto parser = new_command_line("t", "");
    declare_option(parser, name, a, "");
    if (!second.empty()) declare_option(parser, second, b, "");
    auto error = std::string{};
    return parse_arguments(parser, {}, error) ? "" : error;
  };
  EXPECT_EQ(check(""), "name cannot be empty");
  EXPECT_EQ(check("--a b"), "option name cannot contain whitespaces");
  EXPECT_EQ(check(",/"), "option name cannot be empty");
  EXPECT_EQ(check("--a,b"), "inconsistent option names for b");
  EXPECT_EQ(check("--a", "-b,--a"), "option name --a already in use");
  EXPECT_EQ(check("--help"), "option name --help already in use");
  EXPECT_EQ(check(",-a"), "inconsistent option type for -a");
}
