#version 450
// The GPU load's compute shader, the same work as the Direct3D one: eight independent vec4
// multiply-add chains per thread, `iters` long, converging on 1.0 so nothing overflows or
// turns denormal; each thread writes its sum to Out[id & 4095]. fma() fuses each step, as
// mad does there, so no driver splits it into a multiply and an add and the work per
// iteration is the same everywhere. Compiled to SPIR-V at build time and embedded in the
// program.

layout(local_size_x = 256, local_size_y = 1, local_size_z = 1) in;

layout(std430, set = 0, binding = 0) writeonly buffer Out { vec4 v[]; } out_buf;

// The 48-byte constant block: iters, three pad floats, m, a (same offsets as the cbuffer).
layout(std140, set = 0, binding = 1) uniform P {
  uint iters;
  float pad0;
  float pad1;
  float pad2;
  vec4 m;
  vec4 a;
} p;

void main() {
  uint id = gl_GlobalInvocationID.x;
  vec4 x0 = vec4(1.0 + float(id) * 1e-7);
  vec4 x1 = x0 + 0.1;
  vec4 x2 = x0 + 0.2;
  vec4 x3 = x0 + 0.3;
  vec4 x4 = x0 + 0.4;
  vec4 x5 = x0 + 0.5;
  vec4 x6 = x0 + 0.6;
  vec4 x7 = x0 + 0.7;
  for (uint i = 0u; i < p.iters; i++) {
    x0 = fma(x0, p.m, p.a); x1 = fma(x1, p.m, p.a); x2 = fma(x2, p.m, p.a);
    x3 = fma(x3, p.m, p.a); x4 = fma(x4, p.m, p.a); x5 = fma(x5, p.m, p.a);
    x6 = fma(x6, p.m, p.a); x7 = fma(x7, p.m, p.a);
  }
  out_buf.v[id & 4095u] = x0 + x1 + x2 + x3 + x4 + x5 + x6 + x7;
}
