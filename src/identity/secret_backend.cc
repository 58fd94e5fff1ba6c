#include "identity/secret_backend.h"

#include <algorithm>

#include "base/log.h"

namespace quorin {

bool SecretBackend::keepAside(std::string_view account) {
  const auto value = load(account);
  if (!value) return false;
  const std::string name(account);
  const auto taken = allAccounts();
  const auto isTaken = [&](const std::string& n) { return std::find(taken.begin(), taken.end(), n) != taken.end(); };
  // A listing that lacks the item itself failed, and could hide an earlier copy.
  const bool listed = isTaken(name);
  std::string aside = name + ".damaged";
  for (int n = 2; listed && isTaken(aside); ++n) aside = name + ".damaged." + std::to_string(n);
  if (!listed || !save(*value, aside)) {
    logLine("the item " + name + " could not be copied to the item " + aside + ", so it is left as it is");
    return false;
  }
  logLine("the item " + name + " is to be replaced; a copy is kept as the item " + aside);
  return true;
}

}  // namespace quorin
