// SHA-256 from the platform library against the published test vectors.
#include <gtest/gtest.h>

#include <string>

#include "packer/platform/sha256.h"

namespace {

std::string Digest(const std::string& message, std::size_t piece) {
  harwpack::Sha256 hash;
  for (std::size_t at = 0; at < message.size(); at += piece) {
    const std::string part = message.substr(at, piece);
    EXPECT_TRUE(hash.Update(reinterpret_cast<const std::uint8_t*>(part.data()), part.size())) << hash.error();
  }
  const std::string digest = hash.FinishHex();
  EXPECT_EQ(hash.error(), "");
  return digest;
}

struct Vector {
  std::string message;
  const char* digest;
};

TEST(Sha256Test, KnownVectorsInAnySplitting) {
  const Vector vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {std::string(64, 'x'), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
  };
  for (const Vector& v : vectors) {
    for (std::size_t piece : {std::size_t{1000000}, std::size_t{1}, std::size_t{63}, std::size_t{65536}}) {
      if (piece == 1 && v.message.size() > 1000) continue;  // keeps the test fast
      EXPECT_EQ(Digest(v.message, piece), v.digest) << v.message.size() << " bytes in pieces of " << piece;
    }
  }
}

}  // namespace
