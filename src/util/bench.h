#pragma once
// A tiny benchmark registry: benchmarks print figures; they never pass or fail on timing.

#include <functional>
#include <string>
#include <vector>

namespace kestrune::bench {

struct Entry {
  std::string name;
  std::function<void(const std::vector<std::string>& args)> run;
};

std::vector<Entry>& registry();

struct Registrar {
  Registrar(const char* name, std::function<void(const std::vector<std::string>&)> run) {
    registry().push_back({name, std::move(run)});
  }
};

}  // namespace kestrune::bench

#define KL_BENCH_CAT2(a, b) a##b
#define KL_BENCH_CAT(a, b) KL_BENCH_CAT2(a, b)
/// Registers `fn(const std::vector<std::string>& args)` as benchmark `name`.
#define KL_BENCH(name, fn) \
  static ::kestrune::bench::Registrar KL_BENCH_CAT(kl_bench_reg_, __LINE__)(name, fn)
