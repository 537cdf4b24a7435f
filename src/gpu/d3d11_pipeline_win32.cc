#include "gpu/d3d11_pipeline_win32.h"

#include <d3dcompiler.h>

#include <array>
#include <cstring>

#include "gpu/adapter_choice.h"
#include "gpu/constant_block.h"
#include "gpu/d3d11_result.h"
#include "gpu/shader_source.h"
#include "protocol/error_codes.h"

namespace kestrune {

using Microsoft::WRL::ComPtr;

namespace {

constexpr UINT kOutputElements = 4096;
constexpr UINT kOutputStride = 16;

AdapterInfo describe(const DXGI_ADAPTER_DESC1& desc) {
  std::array<char16_t, kAdapterDescriptionUnits> units{};
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(desc.Description[i]);
  AdapterInfo info;
  info.name = adapter_name_from_description(std::u16string_view(units.data(), units.size()));
  info.dedicated_video_memory = desc.DedicatedVideoMemory;
  info.vendor_id = desc.VendorId;
  info.software = (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0;
  return info;
}

void enumerate_adapters(IDXGIFactory1& factory, std::vector<AdapterEntry>& out) {
  for (UINT i = 0; i < kMaxAdapters; ++i) {
    ComPtr<IDXGIAdapter1> adapter;
    if (FAILED(factory.EnumAdapters1(i, adapter.GetAddressOf())) || !adapter) return;
    DXGI_ADAPTER_DESC1 desc{};
    if (FAILED(adapter->GetDesc1(&desc))) continue;  // this one is skipped (and released)
    out.push_back({std::move(adapter), describe(desc)});
  }
}

// The compiled shader, or the fallback bytecode when the compiler cannot do it.
bool compile_shader(std::vector<uint8_t>& bytecode, ShaderFallback fallback) {
  ComPtr<ID3DBlob> code;
  ComPtr<ID3DBlob> errors;  // compiler messages are not reported
  const HRESULT hr = D3DCompile(kShaderSource.data(), kShaderSource.size(), kShaderSourceName,
                                nullptr, nullptr, kShaderEntryPoint, kShaderTarget,
                                D3DCOMPILE_OPTIMIZATION_LEVEL3, 0, code.GetAddressOf(),
                                errors.GetAddressOf());
  if (SUCCEEDED(hr) && code && code->GetBufferSize() > 0) {
    const auto* p = static_cast<const uint8_t*>(code->GetBufferPointer());
    bytecode.assign(p, p + code->GetBufferSize());
    return true;
  }
  if (fallback.empty()) return false;
  bytecode.assign(fallback.begin(), fallback.end());
  return true;
}

bool create_device(IDXGIAdapter* adapter, D3d11Pipeline& p) {
  const D3D_FEATURE_LEVEL both[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
  const D3D_FEATURE_LEVEL only_11_0[] = {D3D_FEATURE_LEVEL_11_0};
  HRESULT hr = D3D11CreateDevice(adapter, D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, both, 2,
                                 D3D11_SDK_VERSION, p.device.ReleaseAndGetAddressOf(), nullptr,
                                 p.context.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    // Runtimes without 11.1 reject a list that names it.
    hr = D3D11CreateDevice(adapter, D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, only_11_0, 1,
                           D3D11_SDK_VERSION, p.device.ReleaseAndGetAddressOf(), nullptr,
                           p.context.ReleaseAndGetAddressOf());
  }
  return SUCCEEDED(hr) && p.device && p.context;
}

Result<void> device_failure(D3d11Pipeline& p, HRESULT hr) {
  return fail(describe_device_error(p.device->GetDeviceRemovedReason(), hr).code);
}

// Steps after the device exists.
Result<void> build_pipeline(D3d11Pipeline& p, const std::vector<uint8_t>& bytecode) {
  if (FAILED(p.device->CreateComputeShader(bytecode.data(), bytecode.size(), nullptr,
                                           p.shader.GetAddressOf())) ||
      !p.shader) {
    return fail(error_code::kCompile);
  }

  D3D11_BUFFER_DESC out_desc{};
  out_desc.ByteWidth = kOutputElements * kOutputStride;
  out_desc.Usage = D3D11_USAGE_DEFAULT;
  out_desc.BindFlags = D3D11_BIND_UNORDERED_ACCESS;
  out_desc.MiscFlags = D3D11_RESOURCE_MISC_BUFFER_STRUCTURED;
  out_desc.StructureByteStride = kOutputStride;
  ComPtr<ID3D11Buffer> output;  // the view keeps it alive after set-up
  HRESULT hr = p.device->CreateBuffer(&out_desc, nullptr, output.GetAddressOf());
  if (FAILED(hr)) return device_failure(p, hr);
  if (!output) return fail(error_code::kGpuDeviceRemoved);

  hr = p.device->CreateUnorderedAccessView(output.Get(), nullptr, p.output_view.GetAddressOf());
  if (FAILED(hr)) return device_failure(p, hr);
  if (!p.output_view) return fail(error_code::kGpuDeviceRemoved);

  const auto block = constant_block_bytes(kInitialIters);
  D3D11_BUFFER_DESC cb_desc{};
  cb_desc.ByteWidth = static_cast<UINT>(block.size());
  cb_desc.Usage = D3D11_USAGE_DEFAULT;
  cb_desc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
  D3D11_SUBRESOURCE_DATA init{};
  init.pSysMem = block.data();
  hr = p.device->CreateBuffer(&cb_desc, &init, p.constant_buffer.GetAddressOf());
  if (FAILED(hr)) return device_failure(p, hr);
  if (!p.constant_buffer) return fail(error_code::kGpuDeviceRemoved);

  D3D11_QUERY_DESC q_desc{};
  q_desc.Query = D3D11_QUERY_EVENT;
  hr = p.device->CreateQuery(&q_desc, p.event_query.GetAddressOf());
  if (FAILED(hr)) return device_failure(p, hr);
  if (!p.event_query) return fail(error_code::kGpuDeviceRemoved);

  // Bound once: each dispatch needs only the dispatch itself and, rarely, an upload of P.
  p.context->CSSetShader(p.shader.Get(), nullptr, 0);
  p.context->CSSetUnorderedAccessViews(0, 1, p.output_view.GetAddressOf(), nullptr);
  p.context->CSSetConstantBuffers(0, 1, p.constant_buffer.GetAddressOf());
  p.iters_in_buffer = kInitialIters;
  return {};
}

}  // namespace

void D3d11Pipeline::upload_iters(uint32_t iters) {
  const auto block = constant_block_bytes(iters);
  context->UpdateSubresource(constant_buffer.Get(), 0, nullptr, block.data(), 0, 0);
  iters_in_buffer = iters;
}

void D3d11Pipeline::dispatch_end_flush() {
  context->Dispatch(kDispatchGroups, 1, 1);
  context->End(event_query.Get());
  context->Flush();
}

DevicePoll D3d11Pipeline::poll() {
  BOOL done = FALSE;  // cleared before every call
  const HRESULT hr =
      context->GetData(event_query.Get(), &done, sizeof done, D3D11_ASYNC_GETDATA_DONOTFLUSH);
  if (SUCCEEDED(hr) && done == FALSE) return DevicePoll::pending();
  return d3d11_poll(static_cast<int32_t>(hr), done != FALSE,
                    static_cast<int32_t>(device->GetDeviceRemovedReason()));
}

GpuFailure D3d11Pipeline::hang_failure() {
  return d3d11_hang_failure(static_cast<int32_t>(device->GetDeviceRemovedReason()));
}

Result<void> open_d3d11(const std::optional<std::string>& hint, D3d11Setup& objects,
                        const GpuSetupOptions& options) {
  if (FAILED(CreateDXGIFactory1(__uuidof(IDXGIFactory1),
                                reinterpret_cast<void**>(objects.factory.GetAddressOf()))) ||
      !objects.factory) {
    return fail(error_code::kNoAdapter);
  }
  enumerate_adapters(*objects.factory.Get(), objects.adapters);

  std::vector<AdapterInfo> infos;
  for (const AdapterEntry& e : objects.adapters) infos.push_back(e.info);
  objects.chosen = choose_adapter(infos, hint, options.software);
  if (!objects.chosen) return fail(error_code::kNoAdapter);

  if (!compile_shader(objects.bytecode, options.shader_fallback)) {
    return fail(error_code::kCompile);
  }

  // Released when set-up ends, whatever the outcome.
  ComPtr<IDXGIAdapter> adapter;
  if (FAILED(objects.adapters[*objects.chosen].adapter.As(&adapter)) || !adapter) {
    return fail(error_code::kNoAdapter);
  }

  // Built in a local object: on failure everything made so far goes with it, in the
  // pipeline's release order.
  auto pipeline = std::make_unique<D3d11Pipeline>();
  if (!create_device(adapter.Get(), *pipeline)) return fail(error_code::kNoAdapter);
  KL_TRY(build_pipeline(*pipeline, objects.bytecode));
  objects.pipeline = std::move(pipeline);
  return {};
}

GpuSetupResult open_gpu_setup(const std::optional<std::string>& hint,
                              const GpuSetupOptions& options) {
  auto objects = std::make_unique<D3d11Setup>();
  Result<void> status = open_d3d11(hint, *objects, options);
  const AdapterInfo* chosen =
      objects->chosen ? &objects->adapters[*objects->chosen].info : nullptr;
  GpuSetupResult result;
  result.opened = opened_gpu(std::move(status), *objects, chosen);
  result.objects = std::move(objects);
  return result;
}

}  // namespace kestrune
