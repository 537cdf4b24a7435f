#pragma once
// The `code` of error events and the `err` of the hello's `gpu` object: one spelling for
// each, so the program and its protocol reference cannot drift apart.

namespace kestrune::error_code {

inline constexpr char kBadLine[] = "badLine";
inline constexpr char kCpuWorker[] = "cpuWorker";
inline constexpr char kTimer[] = "timer";
inline constexpr char kGpuDeviceRemoved[] = "gpuDeviceRemoved";
inline constexpr char kGpuSlow[] = "gpuSlow";
inline constexpr char kFatal[] = "fatal";
inline constexpr char kNoAdapter[] = "noAdapter";
inline constexpr char kCompile[] = "compile";

/// Every code an error event can carry.
inline constexpr const char* kErrorEvents[] = {kBadLine,          kCpuWorker, kTimer,
                                               kGpuDeviceRemoved, kGpuSlow,   kFatal};

/// Every `err` of a GPU that is not usable when the hello goes out.
inline constexpr const char* kGpuSetup[] = {kNoAdapter, kCompile, kGpuDeviceRemoved, kTimer,
                                            kGpuSlow};

}  // namespace kestrune::error_code
