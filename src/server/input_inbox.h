#pragma once
// A client's decoded commands on their way from the io thread, which pushes, to the main
// thread, which takes. Bounded so that no client can swamp the host, and never at the cost of
// a command whose loss would leave the desktop in a wrong state:
// - consecutive pointer moves merge into one (only where the pointer ends up matters);
// - a text longer than kMaxTextBytes is cut, and long texts are handed out kTypeChunk
//   characters at a time, so a paste never holds the main thread for long;
// - once kMaxPendingCommands commands or kMaxPendingBytes (the bytes of the texts, key names
//   and modifier names) wait, moves, texts and scrolls are dropped, with one log line per
//   inbox; buttons, clicks, special keys and system commands are still kept, since a lost
//   release leaves a button held and a lost lock leaves the desktop open;
// - system commands may be taken ahead of input (takeSystem), so that a lock is carried out
//   while input waits for a desktop that is still being opened;
// - a client that gets kMaxCommands commands or kMaxBytes waiting sends faster than the
//   desktop takes them: push() answers endSession once, and drops everything after.
// Thread: push() on the io thread, take() on the main thread; both lock.

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <variant>

#include "protocol/control_messages.h"

namespace quorin {

class InputInbox {
 public:
  using Command = std::variant<InputEvent, SystemCommand::Action>;

  static constexpr std::size_t kMaxTextBytes = 4096;
  static constexpr std::size_t kMaxPendingCommands = 256;
  static constexpr std::size_t kMaxPendingBytes = 8 * 1024;
  static constexpr std::size_t kMaxCommands = 4096;
  static constexpr std::size_t kMaxBytes = 1 << 20;
  static constexpr std::size_t kTypeChunk = 32;  // Unicode characters

  enum class Pushed {
    queued,       // kept (or merged); a drain asked for earlier will find it
    drainWanted,  // kept; the caller posts one drain to the main thread
    dropped,
    endSession,   // over the hard bounds: the caller ends the session and says so in the log
  };

  Pushed push(Command command);

  // The next command (a long text a piece at a time), or nothing once the inbox is empty;
  // the next push then answers drainWanted again.
  std::optional<Command> take();

  // The oldest system command, taken from among input that waits for the desktop (which
  // keeps its order); nothing once there is none, and the next push then answers
  // drainWanted again, so a later system command is not held up behind that input.
  std::optional<SystemCommand::Action> takeSystem();

 private:
  std::mutex mutex_;
  std::deque<Command> commands_;
  std::size_t bytes_ = 0;
  bool drainWanted_ = false;  // a drain was asked for and has not yet found the inbox empty
  bool overflowLogged_ = false;
  bool ended_ = false;
};

}  // namespace quorin
