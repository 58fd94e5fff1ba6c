#include "signaling/crypto.h"

#include <array>
#include <memory>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

namespace quorin::crypto {
namespace {

struct EvpDeleter {
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
  void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
  void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
  void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
};
template <class T>
using Owned = std::unique_ptr<T, EvpDeleter>;

// OpenSSL treats a null buffer as "no value"; an empty byte string must still count as
// given, so it is passed as a valid pointer with length zero.
void* bufferOf(ByteView bytes) {
  static std::uint8_t empty = 0;
  return bytes.empty() ? &empty : const_cast<std::uint8_t*>(bytes.data());
}

char kSha256Name[] = "SHA256";

}  // namespace

std::optional<Bytes> hmacSha256(ByteView key, ByteView message) {
  Owned<EVP_MAC> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) return std::nullopt;
  Owned<EVP_MAC_CTX> ctx(EVP_MAC_CTX_new(mac.get()));
  if (!ctx) return std::nullopt;
  const std::array params{
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, kSha256Name, 0),
      OSSL_PARAM_construct_end(),
  };
  Bytes out(kSha256Size);
  std::size_t written = 0;
  if (EVP_MAC_init(ctx.get(), static_cast<const unsigned char*>(bufferOf(key)), key.size(),
                   params.data()) != 1 ||
      EVP_MAC_update(ctx.get(), message.data(), message.size()) != 1 ||
      EVP_MAC_final(ctx.get(), out.data(), &written, out.size()) != 1 ||
      written != kSha256Size) {
    return std::nullopt;
  }
  return out;
}

std::optional<Bytes> hkdfSha256(ByteView inputKey, ByteView salt, ByteView info,
                                std::size_t length) {
  Owned<EVP_KDF> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) return std::nullopt;
  Owned<EVP_KDF_CTX> ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) return std::nullopt;
  std::array<OSSL_PARAM, 5> params{};
  std::size_t n = 0;
  params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, kSha256Name, 0);
  params[n++] =
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, bufferOf(inputKey), inputKey.size());
  params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, bufferOf(info), info.size());
  // Without a salt parameter OpenSSL applies the RFC's zero salt itself.
  if (!salt.empty()) {
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, bufferOf(salt), salt.size());
  }
  params[n] = OSSL_PARAM_construct_end();
  Bytes out(length);
  if (length == 0 || EVP_KDF_derive(ctx.get(), out.data(), out.size(), params.data()) != 1) {
    return std::nullopt;
  }
  return out;
}

}  // namespace quorin::crypto
