#include "transport/address_history.h"

#include <gtest/gtest.h>

#include <string>

namespace quorin {
namespace {

using namespace std::chrono_literals;

asio::ip::address address(const std::string& text) { return asio::ip::make_address(text); }

// The start of a window, far from the clock's epoch.
const AddressHistory::TimePoint t0{100 * AddressHistory::kWindow};

TEST(AddressHistory, CountsConnectionsOfTheLastOneToTwoWindows) {
  AddressHistory history;
  const auto a = address("10.0.0.1"), b = address("10.0.0.2");
  const auto w = AddressHistory::kWindow;
  EXPECT_EQ(history.connected(a, t0), 1u);
  EXPECT_EQ(history.connected(a, t0 + w - 1s), 2u);
  EXPECT_EQ(history.connections(b, t0), 0u);
  EXPECT_EQ(history.connected(a, t0 + w), 3u) << "the previous window still counts";
  EXPECT_EQ(history.connections(a, t0 + 2 * w), 1u) << "the window before it no longer does";
  EXPECT_EQ(history.connections(a, t0 + 3 * w), 0u);
  EXPECT_EQ(history.connected(a, t0 + 10 * w), 1u);
}

TEST(AddressHistory, ForgetsTheAddressThatConnectedLongestAgoWhenFull) {
  AddressHistory history(3);
  const auto a = address("10.0.0.1"), b = address("10.0.0.2"), c = address("10.0.0.3"), d = address("10.0.0.4");
  history.connected(a, t0);
  history.connected(b, t0);
  history.connected(c, t0);
  history.connected(a, t0);
  history.connected(d, t0);
  EXPECT_EQ(history.connections(b, t0), 0u);
  EXPECT_EQ(history.connections(a, t0), 2u);
  EXPECT_EQ(history.connections(c, t0), 1u);
  EXPECT_EQ(history.connections(d, t0), 1u);
}

TEST(AddressHistory, RemembersPairedAddressesForAWhileAndOnlyTheLatest) {
  AddressHistory history;
  const auto phone = address("10.0.0.1");
  history.paired(phone, t0);
  EXPECT_TRUE(history.pairedLately(phone, t0 + AddressHistory::kPairedMemory - 1s));
  EXPECT_FALSE(history.pairedLately(phone, t0 + AddressHistory::kPairedMemory));
  EXPECT_FALSE(history.pairedLately(address("10.0.0.2"), t0));

  // Pairing again makes it the latest; only the oldest is forgotten when more pair.
  const auto other = [](std::size_t i) { return address("10.1.0." + std::to_string(i)); };
  for (std::size_t i = 0; i + 1 < AddressHistory::kPairedCapacity; ++i) history.paired(other(i), t0);
  history.paired(phone, t0);
  history.paired(other(99), t0);
  EXPECT_TRUE(history.pairedLately(phone, t0));
  EXPECT_FALSE(history.pairedLately(other(0), t0));
  EXPECT_TRUE(history.pairedLately(other(1), t0));
}

}  // namespace
}  // namespace quorin
