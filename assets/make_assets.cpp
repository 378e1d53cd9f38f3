// make_assets: writes the façade images and tree models that blockgen reads
// from its input folder. The build runs it; every run writes the same bytes.

#include <string>

#include "assets/assets.h"
#include "support/cli.h"
#include "support/console.h"
#include "support/files.h"

int main(int argc, const char** argv) {
  auto output = std::string{};
  auto cli = new_command_line("make_assets", "Make the façade images and tree models");
  declare_option(cli, "output", output, "folder that receives buildings_texture and tree_models", true);
  parse_command_line(cli, argc, argv);

  auto error = std::string{};
  if (!save_assets(output, error)) fatal(error);
  return 0;
}
