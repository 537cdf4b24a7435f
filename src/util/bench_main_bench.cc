// Runs the registered benchmarks: `kl_bench` lists them, `kl_bench NAME [args...]` runs one,
// `kl_bench all` runs every one in turn.

#include <cstdio>
#include <string>
#include <vector>

#include "util/bench.h"

namespace kestrune::bench {
std::vector<Entry>& registry() {
  static std::vector<Entry> entries;
  return entries;
}
}  // namespace kestrune::bench

int main(int argc, char** argv) {
  auto& reg = kestrune::bench::registry();
  if (argc < 2) {
    std::printf("benchmarks:");
    for (auto& e : reg) std::printf(" %s", e.name.c_str());
    std::printf("\nusage: kl_bench NAME [args...] | kl_bench all\n");
    return 0;
  }
  std::string want = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  bool found = false;
  for (auto& e : reg) {
    if (want == "all" || want == e.name) {
      std::printf("== %s\n", e.name.c_str());
      std::fflush(stdout);
      e.run(args);
      found = true;
    }
  }
  if (!found) {
    std::fprintf(stderr, "no benchmark named %s\n", want.c_str());
    return 2;
  }
  return 0;
}
