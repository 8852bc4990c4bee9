// Must not compile in the check's x64 pass: a size_t narrowed to 32 bits
// without a word, which cl reports for x64 as C4267.
#include <cstddef>

unsigned Count(std::size_t bytes) {
  unsigned count = bytes;
  return count;
}
