// SHA-256 through Windows' cryptography primitives (BCrypt).
#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <vector>

#include "packer/platform/sha256.h"
#include "packer/platform/text.h"

namespace harwpack {
namespace {

constexpr std::size_t kDigestSize = 32;

std::string StatusError(const char* call, NTSTATUS status) {
  char text[64];
  std::snprintf(text, sizeof text, " failed (status 0x%08lX)", static_cast<unsigned long>(status));
  return call + std::string(text);
}

}  // namespace

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  NTSTATUS status = BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (!BCRYPT_SUCCESS(status)) {
    state_->algorithm = nullptr;
    error_ = StatusError("BCryptOpenAlgorithmProvider(SHA256)", status);
    return;
  }
  // Since Windows 7 BCrypt allocates the hash object itself when given none.
  status = BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0);
  if (!BCRYPT_SUCCESS(status)) {
    state_->hash = nullptr;
    error_ = StatusError("BCryptCreateHash", status);
  }
}

Sha256::~Sha256() = default;

bool Sha256::Update(const std::uint8_t* data, std::size_t size) {
  while (error_.empty() && size > 0) {
    // BCryptHashData takes a 32-bit length.
    const ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    const NTSTATUS status = BCryptHashData(state_->hash, const_cast<PUCHAR>(data), piece, 0);
    if (!BCRYPT_SUCCESS(status)) error_ = StatusError("BCryptHashData", status);
    data += piece;
    size -= piece;
  }
  return error_.empty();
}

std::string Sha256::FinishHex() {
  if (!error_.empty()) return "";
  std::vector<UCHAR> digest(kDigestSize);
  const NTSTATUS status = BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  if (!BCRYPT_SUCCESS(status)) {
    error_ = StatusError("BCryptFinishHash", status);
    return "";
  }
  return ToHex(digest.data(), digest.size());
}

}  // namespace harwpack
