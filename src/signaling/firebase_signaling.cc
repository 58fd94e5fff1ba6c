#include "signaling/firebase_signaling.h"

#include "base/log.h"

namespace quorin {

FirebaseSignaling::FirebaseSignaling(std::string_view /*name*/, ByteView /*secret*/) {
  logLine("FirebaseFirestore not linked — add the SDK to enable internet mode.");
}

}  // namespace quorin
