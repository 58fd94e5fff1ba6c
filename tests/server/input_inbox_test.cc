#include "server/input_inbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/log_capture.h"

namespace quorin {
namespace {

using Kind = InputEvent::Kind;
using Pushed = InputInbox::Pushed;
using Events = std::vector<InputEvent>;

Events operator+(Events events, const Events& more) {
  events.insert(events.end(), more.begin(), more.end());
  return events;
}

// `words` is the key's name for keySpecial, the text otherwise.
InputEvent event(Kind kind, std::string words = {}, std::optional<double> x = {}) {
  InputEvent e;
  e.kind = kind;
  if (!words.empty()) (kind == Kind::keySpecial ? e.specialKey : e.text) = std::move(words);
  e.x = x;
  return e;
}

// One line per command the main thread gets: its kind, x, the bytes of its text.
std::vector<std::string> takeAll(InputInbox& inbox) {
  std::vector<std::string> taken;
  while (auto command = inbox.take()) {
    const auto* e = std::get_if<InputEvent>(&*command);
    if (!e) {
      taken.push_back("system");
      continue;
    }
    taken.push_back(std::string(toString(e->kind)) + (e->x ? " " + std::to_string(*e->x).substr(0, 3) : "") +
                    (e->text ? " " + std::to_string(e->text->size()) : ""));
  }
  return taken;
}

TEST(InputInbox, MergesMovesCutsLongTextsIntoPiecesAndAsksForOneDrainAtATime) {
  InputInbox inbox;
  std::string paste;
  while (paste.size() <= InputInbox::kMaxTextBytes) paste += "€";
  EXPECT_EQ(inbox.push(event(Kind::mouseMove, "", 0.1)), Pushed::drainWanted);
  for (const auto& e : {event(Kind::mouseMove, "", 0.3), event(Kind::mouseDown), event(Kind::mouseMove, "", 0.5),
                        event(Kind::keyText, paste)}) {
    EXPECT_EQ(inbox.push(e), Pushed::queued) << "a drain is already asked for";
  }
  std::vector<std::string> expected{"mouseMove 0.3", "mouseDown", "mouseMove 0.5"};
  const std::size_t cut = InputInbox::kMaxTextBytes / 3 * 3, piece = 3 * InputInbox::kTypeChunk;
  expected.insert(expected.end(), cut / piece, "keyText " + std::to_string(piece));
  expected.push_back("keyText " + std::to_string(cut % piece));
  EXPECT_EQ(takeAll(inbox), expected);
  EXPECT_EQ(inbox.push(event(Kind::leftClick)), Pushed::drainWanted) << "the last drain found the inbox empty";
}

TEST(InputInbox, AFullInboxDropsOnlyWhatMayBeLostAndAnOverfullOneEndsTheSession) {
  const std::string page(InputInbox::kMaxTextBytes, 'a');
  // Full by count (a drag, then scrolls; a paste, then keys) and full by bytes (two pastes).
  const std::pair<Events, bool> fillings[] = {
      {Events{event(Kind::mouseDown), event(Kind::mouseMove)} +
           Events(InputInbox::kMaxPendingCommands - 2, event(Kind::scroll)), false},
      {Events{event(Kind::keyText, page)} + Events(300, event(Kind::keySpecial, "up")), false},
      {Events(InputInbox::kMaxPendingBytes / page.size(), event(Kind::keyText, page)), true},
  };
  // Kept when full by count, kept when full by bytes (what adds no bytes cannot overfill them).
  const std::tuple<InputInbox::Command, bool, bool> cases[] = {
      {event(Kind::mouseUp), true, true},       {event(Kind::mouseDown), true, true},
      {event(Kind::leftClick), true, true},     {event(Kind::rightClick), true, true},
      {event(Kind::doubleClick), true, true},   {event(Kind::keySpecial, "escape"), true, true},
      {SystemCommand::Action::lock, true, true}, {SystemCommand::Action::sleep, true, true},
      {event(Kind::mouseMove), false, true},    {event(Kind::scroll), false, true},
      {event(Kind::keyText, "a"), false, false},
  };
  for (const auto& [command, keptByCount, keptByBytes] : cases) {
    for (const auto& [filling, byBytes] : fillings) {
      InputInbox inbox, filled;
      for (const auto& e : filling) {
        ASSERT_NE(inbox.push(e), Pushed::dropped);
        filled.push(e);
      }
      LogCapture log;
      const bool kept = byBytes ? keptByBytes : keptByCount;
      EXPECT_EQ(inbox.push(command), kept ? Pushed::queued : Pushed::dropped) << filling.size() << " " << kept;
      EXPECT_EQ(takeAll(inbox).size(), takeAll(filled).size() + kept);
      EXPECT_EQ(log.lines().size(), kept ? 0u : 1u);
    }
  }

  // Past the hard bounds on what may not be dropped the session ends, reported once.
  for (const std::size_t name : {std::size_t{6}, InputInbox::kMaxTextBytes}) {
    InputInbox inbox;
    std::size_t kept = 0;
    const InputEvent key = event(Kind::keySpecial, std::string(name, 'k'));
    while (kept <= InputInbox::kMaxCommands && inbox.push(key) != Pushed::endSession) ++kept;
    EXPECT_EQ(kept, name == 6 ? InputInbox::kMaxCommands : InputInbox::kMaxBytes / name);
    EXPECT_EQ(inbox.push(event(Kind::mouseUp)), Pushed::dropped) << "the session is over";
  }
}

}  // namespace
}  // namespace quorin
