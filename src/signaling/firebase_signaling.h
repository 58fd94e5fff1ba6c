#pragma once
// The internet mode's signaling service. The cloud store it needs is not part of this
// program, so the service only reports that on construction; it neither connects nor calls
// back. Any thread.

#include <string_view>

#include "base/bytes.h"

namespace quorin {

class FirebaseSignaling {
 public:
  // Logs the missing store, every time; keeps neither argument.
  FirebaseSignaling(std::string_view name, ByteView secret);
};

}  // namespace quorin
