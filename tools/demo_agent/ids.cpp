#include "ids.h"

#include <cstdint>
#include <random>

namespace {

std::mt19937_64& generator() {
  thread_local std::mt19937_64 engine = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  return engine;
}

std::string random_alnum(std::size_t n) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
  std::string out(n, 'x');
  for (char& c : out) c = alphabet[pick(generator())];
  return out;
}

}  // namespace

std::string new_uuid() {
  std::uint64_t hi = generator()(), lo = generator()();
  hi = (hi & ~0xF000ULL) | 0x4000ULL;                  // version 4
  lo = (lo & ~(0xC000ULL << 48)) | (0x8000ULL << 48);  // RFC 4122 variant
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 32; ++i) {
    std::uint64_t word = i < 16 ? hi : lo;
    out += hex[(word >> (60 - 4 * (i % 16))) & 0xF];
    if (i == 7 || i == 11 || i == 15 || i == 19) out += '-';
  }
  return out;
}

std::string new_tool_use_id() { return "toolu_" + random_alnum(24); }

std::string new_message_id() { return "msg_" + random_alnum(24); }
