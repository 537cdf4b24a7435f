#pragma once
// The Direct3D 11 side of the GPU engine: adapter enumeration, the compute pipeline and its
// set-up. Every interface is held by a ComPtr and released once, on the GPU thread.

#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gpu/adapter_choice.h"
#include "gpu/gpu_device.h"
#include "gpu/gpu_setup.h"

namespace kestrune {

/// One enumerated adapter: its interface (one reference) and what the choice needs.
struct AdapterEntry {
  Microsoft::WRL::ComPtr<IDXGIAdapter1> adapter;
  AdapterInfo info;
};

/// The bound compute pipeline. Members are declared in reverse of the release order, so
/// destruction releases device, context, constant buffer, event query, output view, shader.
class D3d11Pipeline final : public GpuDevice {
 public:
  Microsoft::WRL::ComPtr<ID3D11ComputeShader> shader;
  Microsoft::WRL::ComPtr<ID3D11UnorderedAccessView> output_view;  // keeps Out alive
  Microsoft::WRL::ComPtr<ID3D11Query> event_query;
  Microsoft::WRL::ComPtr<ID3D11Buffer> constant_buffer;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context;
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  uint32_t iters_in_buffer = kInitialIters;

  uint32_t uploaded_iters() const override { return iters_in_buffer; }
  void upload_iters(uint32_t iters) override;
  void dispatch_end_flush() override;
  DevicePoll poll() override;
  GpuFailure hang_failure() override;
};

/// Everything set-up obtains and the thread keeps until its clean-up. Declared so that
/// destruction releases the pipeline, then the bytecode, the adapters, the factory.
struct D3d11Setup final : GpuSetup {
  Microsoft::WRL::ComPtr<IDXGIFactory1> factory;
  std::vector<AdapterEntry> adapters;
  std::vector<uint8_t> bytecode;
  std::unique_ptr<D3d11Pipeline> pipeline;
  std::optional<size_t> chosen;  // index into adapters

  GpuDevice* device() override { return pipeline.get(); }
};

/// Sets up the pipeline on the adapter `hint` selects: factory, the first 16 adapters,
/// choice (software adapters as `options` say), compile (or `options.shader_fallback` when
/// the compiler fails and it is not empty), device
/// (11.1/11.0, then 11.0 alone), shader, output buffer and view, constant block P with
/// kInitialIters, event query, bindings. Fails with "noAdapter", "compile" or
/// "gpuDeviceRemoved", with every Direct3D object made so far already released.
Result<void> open_d3d11(const std::optional<std::string>& hint, D3d11Setup& objects,
                        const GpuSetupOptions& options);

}  // namespace kestrune
