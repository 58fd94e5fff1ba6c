#include "transport/handshake_eviction.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace quorin {
namespace HandshakeEviction {

void PrintTo(const Verdict& v, std::ostream* os) {
  *os << (v.admit ? "admit" : "turn away");
  if (v.victim) *os << ", drop #" << *v.victim;
}

}  // namespace HandshakeEviction
namespace {

asio::ip::address address(const char* text) { return asio::ip::make_address(text); }

TEST(HandshakeEviction, GroupsAddressesOneMachineMayHold) {
  using HandshakeEviction::group;
  EXPECT_EQ(group(address("::ffff:10.0.0.7")), address("10.0.0.7"));
  EXPECT_EQ(group(address("2001:db8::1")), group(address("2001:db8::ffff:1:2")));
  EXPECT_NE(group(address("2001:db8::1")), group(address("2001:db8:0:1::1")));
  EXPECT_NE(group(address("10.0.0.7")), group(address("10.0.0.8")));
}

using namespace std::chrono_literals;

struct Seen {
  const char* from;
  std::size_t connections;
  bool paired = false;
  bool stalled = false;
  std::chrono::milliseconds age = 1s;  // settled unless said
};

HandshakeEviction::Candidate candidate(const Seen& seen) {
  return {address(seen.from), seen.connections, seen.paired, seen.stalled, seen.age};
}

TEST(HandshakeEviction, StalledFirstThenStrangersFromTheBusiestAddressesThenTheOldest) {
  using V = HandshakeEviction::Verdict;
  const bool P = true, S = true;
  const auto young = 100ms;  // below the settle time of 250 ms
  struct Case {
    const char* name;
    std::vector<Seen> pending;  // oldest first
    Seen newcomer;
    V expected;
  };
  const Case cases[] = {
      {"room", {{"10.0.0.1", 1}, {"10.0.0.2", 9}}, {"10.0.0.3", 1}, V{}},
      {"stall attack: the oldest stalled one",
       {{"10.0.0.2", 16, false, S}, {"10.0.0.3", 16, false, S}, {"10.0.0.2", 16, false, S}, {"10.0.0.3", 16, false, S}},
       {"10.0.0.1", 1},
       V{true, 0}},
      {"stalled before busier strangers",
       {{"10.0.0.2", 9}, {"10.0.0.3", 1, false, S}, {"10.0.0.4", 9}, {"10.0.0.5", 9}},
       {"10.0.0.1", 1},
       V{true, 1}},
      {"stalled even from a paired address",
       {{"10.0.0.2", 9}, {"10.0.0.3", 1, P, S}, {"10.0.0.4", 9}, {"10.0.0.5", 9}},
       {"10.0.0.1", 1},
       V{true, 1}},
      {"the phone stays, the busiest address's oldest goes, young or not",
       {{"10.0.0.1", 1}, {"10.0.0.2", 5, false, false, young}, {"10.0.0.3", 9, false, false, young},
        {"10.0.0.3", 9, false, false, young}},
       {"10.0.0.4", 3},
       V{true, 2}},
      {"as busy: the older goes",
       {{"10.0.0.1", 1}, {"10.0.0.2", 5}, {"10.0.0.3", 5}, {"10.0.0.4", 2}},
       {"10.0.0.5", 5},
       V{true, 1}},
      {"as busy as a young one: turned away",
       {{"10.0.0.1", 1}, {"10.0.0.2", 5, false, false, young}, {"10.0.0.3", 3}, {"10.0.0.4", 2}},
       {"10.0.0.5", 5},
       V{false, {}}},
      {"a newcomer busier than all is turned away",
       {{"10.0.0.1", 1}, {"10.0.0.2", 5}, {"10.0.0.3", 3}, {"10.0.0.4", 2}},
       {"10.0.0.5", 6},
       V{false, {}}},
      {"a just-paired address ahead of strangers however often it connects",
       {{"10.0.0.1", 20, P}, {"10.0.0.2", 2}, {"10.0.0.3", 1}, {"10.0.0.1", 20, P}},
       {"10.0.0.4", 1},
       V{true, 1}},
      {"the just-paired newcomer pushes a stranger out",
       {{"10.0.0.2", 1}, {"10.0.0.3", 1}, {"10.0.0.4", 1}, {"10.0.0.5", 1}},
       {"10.0.0.1", 20, P},
       V{true, 0}},
      {"group full: its own oldest goes though others are busier",
       {{"10.0.0.1", 1}, {"10.0.0.2", 9}, {"10.0.0.1", 1}},
       {"10.0.0.1", 1},
       V{true, 0}},
      {"group full: turned away while its oldest is young",
       {{"10.0.0.1", 1, false, false, young}, {"10.0.0.2", 9}, {"10.0.0.1", 1, false, false, young}},
       {"10.0.0.1", 1},
       V{false, {}}},
      {"group full: its stalled one first",
       {{"10.0.0.2", 9}, {"10.0.0.2", 9, false, S}, {"10.0.0.3", 1}},
       {"10.0.0.2", 9},
       V{true, 1}},
  };
  for (const auto& [name, seen, newcomer, expected] : cases) {
    std::vector<HandshakeEviction::Candidate> pending;
    for (const Seen& s : seen) pending.push_back(candidate(s));
    EXPECT_EQ(HandshakeEviction::choose(pending, candidate(newcomer), {.total = 4, .perGroup = 2, .settle = 250ms}), expected)
        << name;
  }
}

}  // namespace
}  // namespace quorin
