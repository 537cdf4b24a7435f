#pragma once
// Test-only: a writer of shader containers (DXBC) for hand-assembled shader tokens, so the
// real Direct3D device path can run where the HLSL compiler cannot build our shader (Wine).

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::dxbc {

using Digest = std::array<uint8_t, 16>;

/// Plain MD5 (RFC 1321) of `data`.
Digest md5(std::span<const uint8_t> data);

/// The container checksum: MD5's compression over bytes 20..end of `container`, with the
/// container format's own final block (bit count in the first dword of the last block,
/// (bits >> 2) | 1 in its last dword). `container` must be at least 20 bytes.
Digest container_checksum(std::span<const uint8_t> container);

/// A container holding empty ISGN and OSGN chunks and a SHEX chunk with `shex` (version
/// token, length token, instructions), checksum filled in.
std::vector<uint8_t> build_container(std::span<const uint32_t> shex);

/// The SHEX dwords of a program equivalent to the product's HLSL compute shader.
std::span<const uint32_t> compute_shader_tokens();

/// build_container(compute_shader_tokens()).
std::vector<uint8_t> compute_shader_container();

/// The same container, built once and kept for the life of the process: the shader
/// fallback of the Wine GPU test build and of the unit tests.
std::span<const uint8_t> compute_shader_fallback();

}  // namespace kestrune::dxbc
