// The archive's checksum, XXH64 with seed 0, from the copy of xxHash that
// zstd carries: inlined here, so that it never meets another copy's symbols
// (the native packer links the system's zstd library).
#include <new>

#include "archive/archive.h"

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace harwarchive {
namespace {

static_assert(sizeof(XXH64_state_t) <= 96, "RunningChecksum keeps an XXH64 state in 96 bytes");

}  // namespace

std::uint64_t Checksum(const void* data, std::size_t size) { return XXH64(data, size, 0); }

RunningChecksum::RunningChecksum() {
  XXH64_state_t* state = new (state_) XXH64_state_t;
  XXH64_reset(state, 0);
}

void RunningChecksum::Add(const void* data, std::size_t size) {
  XXH64_update(reinterpret_cast<XXH64_state_t*>(state_), data, size);
}

std::uint64_t RunningChecksum::Value() const { return XXH64_digest(reinterpret_cast<const XXH64_state_t*>(state_)); }

}  // namespace harwarchive
