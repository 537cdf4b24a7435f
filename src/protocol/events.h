#pragma once
// The events this program writes, one per output line.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "protocol/command.h"

namespace kestrune {

/// The hello's description of the GPU, field for field the GPU thread's Init report.
struct GpuInfo {
  bool ok = false;
  std::optional<std::string> name;
  std::optional<uint32_t> vendor_id;     // "vendorId"
  std::optional<double> dispatch_ms;     // "dispatchMs"
  std::optional<std::string> err;
  bool operator==(const GpuInfo&) const = default;
};

struct Hello {
  uint32_t v = 1;
  std::string nonce;
  uint32_t pid = 0;
  std::string isa;       // "avx2fma" or "sse2"
  std::string isa_max;   // "isaMax": "avx512", "avx2" or "sse2"
  uint32_t workers = 0;
  GpuInfo gpu;
  bool elevated = false;
  bool in_job = true;    // "inJob"
  bool lab = false;
};

struct Ack {
  uint64_t seq = 0;
};

/// One domain's part of a status event.
struct DomainStatus {
  DomainMode mode = DomainMode::Off;
  double duty = 0.0;
  std::optional<double> target_w;     // "targetW"
  std::optional<double> dispatch_ms;  // "dispatchMs", GPU only
  bool power_stale = false;           // "powerStale"
};

struct Status {
  uint64_t t_ms = 0;  // "tMs"
  DomainStatus cpu;   // written without dispatchMs
  DomainStatus gpu;
};

struct Error {
  std::string code;
  std::optional<std::string> detail;
};

struct Bye {
  std::string why;
  uint32_t code = 0;
  double cpu_s = 0.0;  // "cpuS"
  double gpu_s = 0.0;  // "gpuS"
};

/// One outgoing event; variant order is the wire tag order.
using Event = std::variant<Hello, Ack, Status, Error, Bye>;

}  // namespace kestrune
