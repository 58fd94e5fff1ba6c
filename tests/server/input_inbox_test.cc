#include "server/input_inbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/log_capture.h"

namespace quorin {
namespace {

using Kind = InputEvent::Kind;
using Action = SystemCommand::Action;
using Pushed = InputInbox::Pushed;

InputEvent event(Kind kind) {
  InputEvent e;
  e.kind = kind;
  return e;
}
InputEvent move(std::optional<double> x, std::optional<double> y) {
  InputEvent e = event(Kind::mouseMove);
  e.x = x;
  e.y = y;
  return e;
}
InputEvent text(std::string value) {
  InputEvent e = event(Kind::keyText);
  e.text = std::move(value);
  return e;
}
InputEvent key(std::string name) {
  InputEvent e = event(Kind::keySpecial);
  e.specialKey = std::move(name);
  return e;
}

std::string describe(const InputInbox::Command& command) {
  if (const auto* action = std::get_if<Action>(&command)) return "system " + std::string(toString(*action));
  const auto& e = std::get<InputEvent>(command);
  std::string line(toString(e.kind));
  if (e.x) line += " x" + std::to_string(*e.x).substr(0, 3);
  if (e.y) line += " y" + std::to_string(*e.y).substr(0, 3);
  if (e.specialKey) line += " " + *e.specialKey;
  if (e.text) line += " " + *e.text;
  return line;
}

// What the main thread gets; with `typed`, texts go there instead, a piece per entry.
std::vector<std::string> takeAll(InputInbox& inbox, std::vector<std::string>* typed = nullptr) {
  std::vector<std::string> taken;
  while (auto command = inbox.take()) {
    const auto* e = std::get_if<InputEvent>(&*command);
    if (e && e->text && typed) {
      typed->push_back(*e->text);
    } else {
      taken.push_back(describe(*command));
    }
  }
  return taken;
}

TEST(InputInbox, MergesMovesTypesLongTextsInPiecesAndAsksForOneDrainAtATime) {
  InputInbox inbox;
  EXPECT_EQ(inbox.push(move(0.1, 0.2)), Pushed::drainWanted);
  EXPECT_EQ(inbox.push(move(0.3, std::nullopt)), Pushed::queued) << "merged; a drain is already asked for";
  EXPECT_EQ(inbox.push(event(Kind::mouseDown)), Pushed::queued);
  EXPECT_EQ(inbox.push(move(std::nullopt, 0.5)), Pushed::queued);
  // Longer than kMaxTextBytes: cut on a character boundary.
  std::string paste;
  while (paste.size() <= InputInbox::kMaxTextBytes) paste += "€";
  EXPECT_EQ(inbox.push(text(paste)), Pushed::queued);
  EXPECT_EQ(inbox.push(Action::lock), Pushed::queued);

  std::vector<std::string> typed;
  EXPECT_EQ(takeAll(inbox, &typed), (std::vector<std::string>{"mouseMove x0.3 y0.2", "mouseDown",
                                                              "mouseMove y0.5", "system lock"}));
  std::string whole;
  for (const auto& piece : typed) {
    if (&piece != &typed.back()) {
      EXPECT_EQ(piece.size(), 3 * InputInbox::kTypeChunk);
    }
    whole += piece;
  }
  EXPECT_EQ(whole, paste.substr(0, InputInbox::kMaxTextBytes / 3 * 3));
  EXPECT_EQ(inbox.push(event(Kind::leftClick)), Pushed::drainWanted) << "the last drain found the inbox empty";
}

std::vector<InputEvent> operator+(std::vector<InputEvent> events, const std::vector<InputEvent>& more) {
  events.insert(events.end(), more.begin(), more.end());
  return events;
}

TEST(InputInbox, AFullInboxDropsOnlyWhatMayBeLost) {
  using Events = std::vector<InputEvent>;
  const std::string page(InputInbox::kMaxTextBytes, 'a');
  // Full by count: a drag and a burst of scrolls, or a paste and many keys; full by bytes.
  struct Filling {
    Events events;
    bool byBytes;
  };
  const Filling fillings[] = {
      {Events{event(Kind::mouseDown), move(0.5, 0.5)} + Events(InputInbox::kMaxPendingCommands - 2, event(Kind::scroll)),
       false},
      {Events{text(page)} + Events(300, key("up")), false},
      {Events(InputInbox::kMaxPendingBytes / page.size(), text(page)), true},
  };
  struct Case {
    InputInbox::Command command;
    Pushed whenFullByCount;
    Pushed whenFullByBytes;  // only what adds bytes can overfill them
  };
  const Case cases[] = {
      {event(Kind::mouseUp), Pushed::queued, Pushed::queued},
      {event(Kind::mouseDown), Pushed::queued, Pushed::queued},
      {event(Kind::leftClick), Pushed::queued, Pushed::queued},
      {event(Kind::rightClick), Pushed::queued, Pushed::queued},
      {event(Kind::doubleClick), Pushed::queued, Pushed::queued},
      {key("escape"), Pushed::queued, Pushed::queued},
      {Action::lock, Pushed::queued, Pushed::queued},
      {Action::shutdown, Pushed::queued, Pushed::queued},
      {move(0.1, 0.1), Pushed::dropped, Pushed::queued},
      {event(Kind::scroll), Pushed::dropped, Pushed::queued},
      {text("a"), Pushed::dropped, Pushed::dropped},
  };
  for (const auto& [command, whenFullByCount, whenFullByBytes] : cases) {
    for (const auto& [filling, byBytes] : fillings) {
      const Pushed expected = byBytes ? whenFullByBytes : whenFullByCount;
      InputInbox inbox, filled;
      for (const auto& e : filling) {
        ASSERT_NE(inbox.push(e), Pushed::dropped);
        filled.push(e);
      }
      LogCapture log;
      EXPECT_EQ(inbox.push(command), expected) << describe(command) << " after " << filling.size();
      const std::vector<std::string> taken = takeAll(inbox);
      EXPECT_EQ(taken.size(), takeAll(filled).size() + (expected == Pushed::queued));
      if (expected == Pushed::queued) {
        EXPECT_EQ(taken.back(), describe(command)) << "and last";
      }
      EXPECT_EQ(log.lines().size(), expected == Pushed::dropped ? 1u : 0u);
    }
  }
}

TEST(InputInbox, TooMuchThatMayNotBeLostEndsTheSessionOnce) {
  for (const std::size_t nameBytes : {std::size_t{6}, InputInbox::kMaxTextBytes}) {
    InputInbox inbox;
    std::size_t kept = 0;
    for (; kept <= InputInbox::kMaxCommands; ++kept) {
      const Pushed pushed = inbox.push(key(std::string(nameBytes, 'k')));
      if (pushed == Pushed::endSession) break;
      ASSERT_NE(pushed, Pushed::dropped);
    }
    EXPECT_EQ(kept, nameBytes == 6 ? InputInbox::kMaxCommands : InputInbox::kMaxBytes / nameBytes);
    EXPECT_EQ(inbox.push(event(Kind::mouseUp)), Pushed::dropped) << "reported once; the session is over";
  }
}

}  // namespace
}  // namespace quorin
