#include "dxbc/dxbc_container.h"

#include <cstring>

namespace kestrune::dxbc {
namespace {

constexpr uint32_t kS[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                             5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                             4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                             6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
constexpr uint32_t kK[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};

uint32_t rotl(uint32_t x, uint32_t c) { return (x << c) | (x >> (32 - c)); }

uint32_t load_le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void store_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

class Md5State {
 public:
  void block(const uint8_t* b) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = load_le32(b + 4 * i);
    uint32_t a = h_[0], bb = h_[1], c = h_[2], d = h_[3];
    for (uint32_t i = 0; i < 64; ++i) {
      uint32_t f;
      uint32_t g;
      if (i < 16) {
        f = (bb & c) | (~bb & d), g = i;
      } else if (i < 32) {
        f = (d & bb) | (~d & c), g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = bb ^ c ^ d, g = (3 * i + 5) % 16;
      } else {
        f = c ^ (bb | ~d), g = (7 * i) % 16;
      }
      const uint32_t next = bb + rotl(a + f + kK[i] + m[g], kS[i]);
      a = d, d = c, c = bb, bb = next;
    }
    h_[0] += a, h_[1] += bb, h_[2] += c, h_[3] += d;
  }
  Digest digest() const {
    Digest out;
    for (size_t i = 0; i < 4; ++i) store_le32(&out[4 * i], h_[i]);
    return out;
  }

 private:
  uint32_t h_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
};

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_fourcc(std::vector<uint8_t>& out, const char (&cc)[5]) {
  // Byte by byte: GCC 12's -O3 misreads a ranged insert here as an overflow.
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(cc[i]));
}

constexpr uint32_t kShaderTokens[] = {
#include "dxbc/compute_shader_tokens.inc"
};

}  // namespace

Digest md5(std::span<const uint8_t> data) {
  Md5State s;
  size_t full = data.size() / 64 * 64;
  for (size_t i = 0; i < full; i += 64) s.block(&data[i]);
  uint8_t tail[128] = {};
  const size_t rest = data.size() - full;
  if (rest > 0) std::memcpy(tail, &data[full], rest);
  tail[rest] = 0x80;
  const size_t tail_len = rest < 56 ? 64 : 128;
  const uint64_t bits = uint64_t{data.size()} * 8;
  store_le32(&tail[tail_len - 8], static_cast<uint32_t>(bits));
  store_le32(&tail[tail_len - 4], static_cast<uint32_t>(bits >> 32));
  for (size_t i = 0; i < tail_len; i += 64) s.block(&tail[i]);
  return s.digest();
}

Digest container_checksum(std::span<const uint8_t> container) {
  const std::span<const uint8_t> data = container.subspan(20);
  Md5State s;
  const size_t full = data.size() / 64 * 64;
  for (size_t i = 0; i < full; i += 64) s.block(&data[i]);
  const size_t rest = data.size() - full;
  const auto bits = static_cast<uint32_t>(data.size() * 8);
  uint8_t last[64] = {};
  if (rest >= 56) {
    // The remaining bytes and 0x80 fill one block; the counts get a block of their own.
    uint8_t b[64] = {};
    std::memcpy(b, &data[full], rest);
    b[rest] = 0x80;
    s.block(b);
  } else {
    if (rest > 0) std::memcpy(&last[4], &data[full], rest);
    last[4 + rest] = 0x80;
  }
  store_le32(&last[0], bits);
  store_le32(&last[60], (bits >> 2) | 1);
  s.block(last);
  return s.digest();
}

std::vector<uint8_t> build_container(std::span<const uint32_t> shex) {
  constexpr uint32_t kChunks = 3;
  constexpr uint32_t kHeader = 32 + 4 * kChunks;
  constexpr uint32_t kSignature = 8 + 8;  // chunk header + {count 0, offset 8}
  const auto shex_bytes = static_cast<uint32_t>(shex.size() * 4);
  const uint32_t total = kHeader + 2 * kSignature + 8 + shex_bytes;

  std::vector<uint8_t> out;
  out.reserve(total);
  put_fourcc(out, "DXBC");
  out.resize(out.size() + 16);  // checksum, filled in last
  put_u32(out, 1);
  put_u32(out, total);
  put_u32(out, kChunks);
  put_u32(out, kHeader);
  put_u32(out, kHeader + kSignature);
  put_u32(out, kHeader + 2 * kSignature);
  for (const auto& cc : {"ISGN", "OSGN"}) {
    // Byte by byte: GCC 12's -O3 misreads a ranged insert here as an overflow.
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(cc[i]));
    put_u32(out, 8);
    put_u32(out, 0);  // no elements
    put_u32(out, 8);  // element offset, by convention right after these two dwords
  }
  put_fourcc(out, "SHEX");
  put_u32(out, shex_bytes);
  for (uint32_t t : shex) put_u32(out, t);

  const Digest sum = container_checksum(out);
  std::memcpy(&out[4], sum.data(), sum.size());
  return out;
}

std::span<const uint32_t> compute_shader_tokens() { return kShaderTokens; }

std::vector<uint8_t> compute_shader_container() { return build_container(kShaderTokens); }

std::span<const uint8_t> compute_shader_fallback() {
  static const std::vector<uint8_t> container = compute_shader_container();
  return container;
}

}  // namespace kestrune::dxbc
