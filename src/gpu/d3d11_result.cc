#include "gpu/d3d11_result.h"

#include <cstdio>

#include "protocol/error_codes.h"

namespace kestrune {
namespace {

bool is_known_device_error(int32_t code) {
  return code == kDxgiErrorDeviceRemoved || code == kDxgiErrorDeviceHung ||
         code == kDxgiErrorDeviceReset || code == kDxgiErrorDriverInternalError;
}

std::string name_and_code(int32_t code) {
  return std::string(device_error_name(code)) + " (" + hresult_hex(code) + ")";
}

}  // namespace

const char* device_error_name(int32_t code) {
  switch (static_cast<uint32_t>(code)) {
    case 0x887A0005u: return "DXGI_ERROR_DEVICE_REMOVED";
    case 0x887A0006u: return "DXGI_ERROR_DEVICE_HUNG";
    case 0x887A0007u: return "DXGI_ERROR_DEVICE_RESET";
    case 0x887A0020u: return "DXGI_ERROR_DRIVER_INTERNAL_ERROR";
    default: return "HRESULT";
  }
}

std::string hresult_hex(int32_t code) {
  char buf[11];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(static_cast<uint32_t>(code)));
  return buf;
}

GpuFailure describe_device_error(int32_t removed_reason, int32_t call_result) {
  const int32_t code =
      removed_reason < 0 && is_known_device_error(removed_reason) ? removed_reason : call_result;
  return {error_code::kGpuDeviceRemoved, name_and_code(code)};
}

GpuFailure d3d11_hang_failure(int32_t removed_reason) {
  const int32_t code = removed_reason < 0 ? removed_reason : kDxgiErrorDeviceHung;
  return {error_code::kGpuDeviceRemoved,
          name_and_code(code) + " after " + std::to_string(kDispatchHangLimitMs) + " ms"};
}

DevicePoll d3d11_poll(int32_t get_data, bool done, int32_t removed_reason) {
  if (get_data < 0) return DevicePoll::failed(describe_device_error(removed_reason, get_data));
  if (!done) return DevicePoll::pending();
  if (removed_reason < 0) {
    return DevicePoll::failed(describe_device_error(removed_reason, removed_reason));
  }
  return DevicePoll::done();
}

}  // namespace kestrune
