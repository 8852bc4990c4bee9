// SHA-256 through OpenSSL's EVP interface (libcrypto).
#include <openssl/evp.h>

#include "packer/platform/sha256.h"
#include "packer/platform/text.h"

namespace harwpack {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
  ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context == nullptr) {
    error_ = "EVP_MD_CTX_new failed";
  } else if (EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1) {
    error_ = "EVP_DigestInit_ex(SHA-256) failed";
  }
}

Sha256::~Sha256() = default;

bool Sha256::Update(const std::uint8_t* data, std::size_t size) {
  if (!error_.empty()) return false;
  if (EVP_DigestUpdate(state_->context, data, size) != 1) error_ = "EVP_DigestUpdate failed";
  return error_.empty();
}

std::string Sha256::FinishHex() {
  if (!error_.empty()) return "";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(state_->context, digest, &size) != 1) {
    error_ = "EVP_DigestFinal_ex failed";
    return "";
  }
  return ToHex(digest, size);
}

}  // namespace harwpack
