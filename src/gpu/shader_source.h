#pragma once
// The compute shader the GPU thread compiles at run time.

#include <string_view>

namespace kestrune {

/// Name given to the compiler for messages; the entry point and target.
inline constexpr const char* kShaderSourceName = "kestrune-load.hlsl";
inline constexpr const char* kShaderEntryPoint = "main";
inline constexpr const char* kShaderTarget = "cs_5_0";

/// The HLSL text: eight independent float4 multiply-add chains per thread, `iters` long,
/// converging on 1.0 so nothing overflows or turns denormal; each thread writes its sum to
/// Out[id.x & 4095]. 669 bytes, starting with a line feed.
inline constexpr std::string_view kShaderSource =
    "\n"
    "RWStructuredBuffer<float4> Out : register(u0);\n"
    "cbuffer P : register(b0) { uint iters; float3 pad; float4 m; float4 a; };\n"
    "[numthreads(256, 1, 1)]\n"
    "void main(uint3 id : SV_DispatchThreadID) {\n"
    "  float4 x0 = 1.0 + id.x * 1e-7;\n"
    "  float4 x1 = x0 + 0.1;\n"
    "  float4 x2 = x0 + 0.2;\n"
    "  float4 x3 = x0 + 0.3;\n"
    "  float4 x4 = x0 + 0.4;\n"
    "  float4 x5 = x0 + 0.5;\n"
    "  float4 x6 = x0 + 0.6;\n"
    "  float4 x7 = x0 + 0.7;\n"
    "  [loop] for (uint i = 0; i < iters; i++) {\n"
    "    x0 = mad(x0, m, a); x1 = mad(x1, m, a); x2 = mad(x2, m, a); x3 = mad(x3, m, a);\n"
    "    x4 = mad(x4, m, a); x5 = mad(x5, m, a); x6 = mad(x6, m, a); x7 = mad(x7, m, a);\n"
    "  }\n"
    "  Out[id.x & 4095] = x0 + x1 + x2 + x3 + x4 + x5 + x6 + x7;\n"
    "}\n";

static_assert(kShaderSource.size() == 669);

}  // namespace kestrune
