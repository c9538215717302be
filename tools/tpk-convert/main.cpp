// tpk-convert: prints a JSON, MessagePack or YAML document as JSON. See convert.h.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "tpk-convert/convert.h"

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return Oxle::Client::Tools::RunConvert(args, std::cin, std::cout, std::cerr);
  } catch (...) {
    // Only the argument copy can get here (RunConvert catches everything itself).
    std::fputs("tpk-convert: out of memory\n", stderr);
    return Oxle::Client::Tools::kExitFailed;
  }
}
