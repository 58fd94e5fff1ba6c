#include "signaling/signal_crypto.h"

#include <climits>
#include <memory>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "protocol/base64.h"
#include "signaling/crypto.h"

namespace quorin::SignalCrypto {
namespace {

constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kKeySize = 32;
constexpr std::string_view kKeyInfo = "QuorinRemote.signaling";

struct CipherDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter>;

// The AES key of one call, wiped when the call ends.
class SignalingKey {
 public:
  explicit SignalingKey(ByteView secret)
      : bytes_(crypto::hkdfSha256(secret, {}, bytesOf(kKeyInfo), kKeySize)) {}
  ~SignalingKey() {
    if (bytes_) OPENSSL_cleanse(bytes_->data(), bytes_->size());
  }
  SignalingKey(const SignalingKey&) = delete;
  SignalingKey& operator=(const SignalingKey&) = delete;

  const unsigned char* data() const { return bytes_ ? bytes_->data() : nullptr; }

 private:
  std::optional<Bytes> bytes_;
};

}  // namespace

std::optional<std::string> sealBytes(ByteView plaintext, ByteView secret) {
  if (plaintext.size() > INT_MAX) return std::nullopt;  // EVP counts in int
  const SignalingKey key(secret);
  if (!key.data()) return std::nullopt;

  Bytes box(kNonceSize + plaintext.size() + kTagSize);
  unsigned char* const nonce = box.data();
  unsigned char* const ciphertext = nonce + kNonceSize;
  unsigned char* const tag = ciphertext + plaintext.size();
  if (RAND_bytes(nonce, kNonceSize) != 1) return std::nullopt;

  CipherContext ctx(EVP_CIPHER_CTX_new());
  int written = 0;
  int finalWritten = 0;
  if (!ctx ||
      EVP_EncryptInit_ex2(ctx.get(), EVP_aes_256_gcm(), key.data(), nonce, nullptr) != 1 ||
      EVP_EncryptUpdate(ctx.get(), ciphertext, &written, plaintext.data(),
                        static_cast<int>(plaintext.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), ciphertext + written, &finalWritten) != 1 ||
      static_cast<std::size_t>(written + finalWritten) != plaintext.size() ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) != 1) {
    return std::nullopt;
  }
  return base64::encode(box);
}

std::optional<Bytes> openBytes(std::string_view token, ByteView secret) {
  auto box = base64::decode(token);
  if (!box || box->size() < kNonceSize + kTagSize || box->size() > INT_MAX) return std::nullopt;
  const SignalingKey key(secret);
  if (!key.data()) return std::nullopt;

  const std::size_t size = box->size() - kNonceSize - kTagSize;
  unsigned char* const nonce = box->data();
  unsigned char* const ciphertext = nonce + kNonceSize;
  unsigned char* const tag = ciphertext + size;
  Bytes plaintext(size);

  CipherContext ctx(EVP_CIPHER_CTX_new());
  int written = 0;
  int finalWritten = 0;
  if (!ctx ||
      EVP_DecryptInit_ex2(ctx.get(), EVP_aes_256_gcm(), key.data(), nonce, nullptr) != 1 ||
      EVP_DecryptUpdate(ctx.get(), plaintext.data(), &written, ciphertext,
                        static_cast<int>(size)) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), plaintext.data() + written, &finalWritten) != 1 ||
      static_cast<std::size_t>(written + finalWritten) != size) {
    return std::nullopt;
  }
  return plaintext;
}

}  // namespace quorin::SignalCrypto
