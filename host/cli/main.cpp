// tpk-host: a command-line host for plugin modules; see host_app.h and --help.
#include <iostream>
#include <string>
#include <vector>

#include "cli/host_app.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return Oxle::Client::Host::Cli::RunHost(args, std::cout, std::cerr);
}
