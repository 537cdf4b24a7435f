#pragma once
// Events of every kind, with optional values present and absent and both domains in every
// mode, each named. The encoder's order test writes them; kl_event_lines prints them for
// the C++ client's test, which holds the same cases, by name, as its own records.

#include <limits>
#include <vector>

#include "protocol/events.h"

namespace kestrune::contract {

struct EventCase {
  const char* name;
  Event event;
};

inline std::vector<EventCase> event_cases() {
  Hello bare;
  bare.nonce = "n-1";
  bare.pid = 4242;
  bare.isa = "sse2";
  bare.isa_max = "sse2";
  bare.workers = 1;

  Hello full = bare;
  full.nonce = "Gr\xC3\xA4" "fin \"q\"";
  full.pid = std::numeric_limits<uint32_t>::max();
  full.isa = "avx2fma";
  full.isa_max = "avx512";
  full.workers = 64;
  full.gpu = {true, "Card \\ X", 4318u, 12.5, std::nullopt};
  full.elevated = true;
  full.in_job = false;
  full.lab = true;

  Hello gpu_failed = bare;
  gpu_failed.gpu.err = "gpuSlow";

  Status idle;
  idle.t_ms = 0;

  Status running;
  running.t_ms = 1250;
  running.cpu = {DomainMode::Target, 0.4375, 45.0, std::nullopt, true};
  running.gpu = {DomainMode::Free, 1.0, std::nullopt, 3.4, false};

  Status gpu_target;
  gpu_target.t_ms = std::numeric_limits<uint64_t>::max();
  gpu_target.cpu = {DomainMode::Free, 1.0, std::nullopt, std::nullopt, false};
  gpu_target.gpu = {DomainMode::Target, 0.25, 150.0, 19.9, true};

  return {
      {"hello bare", bare},
      {"hello full", full},
      {"hello gpu failed", gpu_failed},
      {"ack", Ack{7}},
      {"ack max", Ack{std::numeric_limits<uint64_t>::max()}},
      {"status idle", idle},
      {"status running", running},
      {"status gpu target", gpu_target},
      {"error with detail", Error{"badLine", "line is not UTF-8"}},
      {"error without detail", Error{"fatal", std::nullopt}},
      {"bye", Bye{"hbTimeout", 3, 12.3, 0.0}},
      {"bye fatal", Bye{"fatal", 9, 0.0, 780.5}},
  };
}

}  // namespace kestrune::contract
