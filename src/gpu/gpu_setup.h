#pragma once
// What the GPU thread's set-up hands to the thread, whatever the platform.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "gpu/adapter_choice.h"
#include "gpu/gpu_device.h"
#include "protocol/error_codes.h"
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

/// A set-up that succeeded: the ready device (never null; the set-up's objects own it) and
/// the adapter it runs on.
struct OpenedGpu {
  GpuDevice* device = nullptr;
  std::string name;
  uint32_t vendor_id = 0;
};

/// A set-up's objects, whatever its outcome (they are released on the GPU thread), and the
/// outcome: the opened device, or the wire code the set-up failed with.
struct GpuSetupResult {
  std::unique_ptr<GpuSetup> objects;  // may be null when nothing was obtained
  Result<OpenedGpu> opened = fail(error_code::kNoAdapter);
};

/// The outcome of a set-up that ended with `status`: its failure, else the device `objects`
/// hold on the chosen `adapter`. A success without a device or an adapter is "noAdapter",
/// so that an opened GPU always has both.
inline Result<OpenedGpu> opened_gpu(Result<void> status, GpuSetup& objects,
                                    const AdapterInfo* adapter) {
  KL_TRY(std::move(status));
  GpuDevice* device = objects.device();
  if (device == nullptr || adapter == nullptr) return fail(error_code::kNoAdapter);
  return OpenedGpu{device, adapter->name, adapter->vendor_id};
}

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
