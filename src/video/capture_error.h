#pragma once
// Why capture could not start: shown to the user through `description`.

#include <string>

namespace quorin {

struct CaptureError {
  std::string domain;
  int code = 0;
  std::string description;
  bool operator==(const CaptureError&) const = default;
};

// The screen has no display to capture.
inline CaptureError noDisplayFoundError() { return {"QuorinRemote", 1, "No display found"}; }

}  // namespace quorin
