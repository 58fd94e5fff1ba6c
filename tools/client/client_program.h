#pragma once
// The quorin-client program without its entry point, so tests can run it in process.
// Runs on the calling thread; prints results on `out` and messages on `err`.

#include <atomic>
#include <ostream>
#include <string_view>
#include <vector>

namespace quorin {

enum ClientExit : int {
  kExitOk = 0,
  kExitFile = 1,          // a file could not be read or written
  kExitUsage = 2,         // bad command line, pairing code or input file
  kExitUnreachable = 3,   // host not found, not resolved or not answering
  kExitHandshake = 4,     // the TLS handshake failed: usually a wrong pairing key
  kExitClosed = 5,        // the host ended the connection before the run's end
  kExitUndecodable = 6,   // the video did not decode
};

// `args` excludes the program name. The run stops early once `interrupted` turns true.
int runClient(const std::vector<std::string_view>& args, std::ostream& out, std::ostream& err,
              const std::atomic<bool>& interrupted);

}  // namespace quorin
