#pragma once
// What the GPU thread's set-up hands to the thread, whatever the platform.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "gpu/adapter_choice.h"
#include "gpu/gpu_device.h"
#include "util/result.h"

namespace kestrune {

/// Every object the set-up obtained (on Windows: DXGI factory, adapters, shader bytecode and,
/// after success, the pipeline; elsewhere: the Vulkan loader and objects). Destroying it
/// releases all of them; the GPU thread does that at its clean-up, on the thread that made
/// them.
class GpuSetup {
 public:
  virtual ~GpuSetup() = default;
  /// The ready device after a successful set-up, null after a failed one.
  virtual GpuDevice* device() = 0;
};

/// A set-up's objects, whatever its outcome (they are released on the GPU thread), and the
/// outcome: on failure its message is the wire code.
struct GpuSetupResult {
  std::unique_ptr<GpuSetup> objects;  // may be null when nothing was obtained
  Result<void> status;
  std::string name;  // the chosen adapter, on success
  uint32_t vendor_id = 0;
};

/// Bytecode the set-up uses when the HLSL compiler cannot build the shader: empty in the
/// shipped program, where that failure is "compile"; a Wine test build passes an equivalent
/// hand-assembled program. It must stay valid for the life of the process.
using ShaderFallback = std::span<const uint8_t>;

/// The work size of the first calibration dispatch. A real GPU runs the initial size in
/// milliseconds; a software device on a busy machine can need most of the hang limit for it,
/// so a test build on one starts at the smallest size and lets the tuning grow from there.
enum class CalibrationStart : uint8_t { Initial, Smallest };

/// What the set-up may fall back on; the shipped program has the defaults.
struct GpuSetupOptions {
  /// The shipped program never runs on a software device: a CPU rasterizer would only add
  /// CPU load under the GPU's name. A test build without a GPU accepts one.
  SoftwareAdapters software = SoftwareAdapters::Refused;
  ShaderFallback shader_fallback;
  CalibrationStart calibration_start = CalibrationStart::Initial;
};

/// This platform's set-up: Direct3D 11 on Windows ("noAdapter", "compile" or
/// "gpuDeviceRemoved" on failure); Vulkan compute elsewhere, with the same codes.
GpuSetupResult open_gpu_setup(const std::optional<std::string>& hint,
                              const GpuSetupOptions& options);

}  // namespace kestrune
