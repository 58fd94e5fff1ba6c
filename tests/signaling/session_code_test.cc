#include "signaling/session_code.h"

#include <numeric>

#include <gtest/gtest.h>

namespace quorin {
namespace {

// Expected identifiers computed with Python's hmac, hashlib and base64 modules:
//   base64.b64encode(hmac.new(secret, b"session:" + code.encode(), hashlib.sha256)
//                    .digest()[:15]).decode().replace("+", "-").replace("/", "_")
TEST(SessionCode, DocumentIdMatchesAnIndependentDerivation) {
  Bytes secret(32);
  std::iota(secret.begin(), secret.end(), 0);
  const struct {
    std::string code;
    Bytes secret;
    const char* id;
  } cases[] = {
      {"", secret, "0RfmDXAIZXy376CTfvyB"},
      {"ABC-123", secret, "ZpDWNDjYMbTMeO_eGnPM"},
      // No normalisation: case and surrounding space change the result.
      {"abc-123", secret, "Iv8POg35LPAoxxUYF96n"},
      {" ABC-123", secret, "UKuII14l_8nY-YVG8P2V"},
      {"h\u00e9llo w\u00f6rld \u2713", secret, "wc4fhpSfY7oeQEe77ckl"},
      {"ABC-123", {}, "nXFjIvjZ_Tn9ZtJ-R7eN"},
  };
  for (const auto& c : cases) EXPECT_EQ(SessionCode::documentId(c.code, c.secret), c.id) << c.code;
}

}  // namespace
}  // namespace quorin
