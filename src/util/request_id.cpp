#include "util/request_id.h"

#include <chrono>
#include <cstdint>
#include <random>

namespace {

std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

// SipHash-1-3 of one 64-bit word.
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::uint64_t m) {
  std::uint64_t v0 = k0 ^ 0x736f6d6570736575ULL, v1 = k1 ^ 0x646f72616e646f6dULL;
  std::uint64_t v2 = k0 ^ 0x6c7967656e657261ULL, v3 = k1 ^ 0x7465646279746573ULL;
  auto round = [&] {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  };
  v3 ^= m; round(); v0 ^= m;
  std::uint64_t last = std::uint64_t{8} << 56;
  v3 ^= last; round(); v0 ^= last;
  v2 ^= 0xff;
  round(); round(); round();
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace

std::string new_request_id() {
  std::random_device random;
  std::uint64_t k0 = (std::uint64_t{random()} << 32) | random();
  std::uint64_t k1 = (std::uint64_t{random()} << 32) | random();
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto nanos = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
  std::uint64_t hash = siphash13(k0, k1, nanos);
  static const char* hex = "0123456789abcdef";
  std::string id(12, '0');
  for (int i = 0; i < 12; ++i) id[i] = hex[(hash >> (60 - 4 * i)) & 0xF];
  return id;
}

const std::string& instance_id() {
  static const std::string id = new_request_id();
  return id;
}
