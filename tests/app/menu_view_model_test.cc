#include "app/menu_view_model.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "app/server_with_fakes.h"
#include "base/event_loop.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

// The shown items, one line each: "symbol|text|button", a divider as "--".
std::string shownItems(const MenuState& state) {
  std::string lines;
  for (const MenuItem& item : menuItems(state)) {
    if (!item.shown) continue;
    lines += item.element == MenuElement::divider ? "--" : item.symbol + "|" + item.text + "|" + item.button;
    lines += "\n";
  }
  return lines;
}

constexpr const char* kRest =
    "--\nqrcode|Pair a device\u2026|\n--\n||\n--\n|Start advertising when opened|\n|Open at login|\n--\n";
constexpr const char* kNote = "|Connection is encrypted (TLS). Only devices that scanned your QR can connect.|\n";

TEST(MenuItems, EachStateShowsItsItemsInOrder) {
  EXPECT_EQ(shownItems({}), std::string("|Quorin Remote Host|\n--\npause.circle|Stopped|\n--\n"
                                        "circle|Screen Recording|Grant\ncircle|Accessibility|Grant\n") +
                                kRest + "|Quit|Start\n" + kNote);
  EXPECT_EQ(shownItems({.isRunning = true,
                        .connectedClient = "192.168.1.9:50123",
                        .lastError = "Address already in use",
                        .hasScreen = true,
                        .hasAccessibility = true}),
            std::string("|Quorin Remote Host|\n--\nantenna.radiowaves.left.and.right|Advertising on the network|\n"
                        "iphone|Connected: 192.168.1.9:50123|\nexclamationmark.triangle|Address already in use|\n--\n"
                        "checkmark.circle.fill|Screen Recording|\ncheckmark.circle.fill|Accessibility|\n") +
                kRest + "|Quit|Stop\n" + kNote);
  // Present but empty texts still show their labels.
  EXPECT_NE(shownItems({.connectedClient = "", .lastError = ""})
                .find("|Stopped|\niphone|Connected: |\nexclamationmark.triangle||\n--\n"),
            std::string::npos);
}

// The model over a real server (fakes behind it, port 0) on a headless main loop.
class MenuViewModelTest : public ::testing::Test {
 protected:
  EventLoop main;
  ServerWithFakes host{main, "Test Host"};
  FakeLoginItem& loginItem = host.loginItem;
  PermissionFlags& flags = host.flags;
};

TEST_F(MenuViewModelTest, OpenAtLoginShowsTheRealStateWhenRegistrationFails) {
  loginItem.enabled = true;
  MenuViewModel model(host.environment());
  EXPECT_TRUE(model.state().openAtLogin) << "read from the login item when made";
  model.setOpenAtLogin(false);
  EXPECT_FALSE(loginItem.enabled);

  loginItem.failChanges = true;
  model.setOpenAtLogin(true);
  EXPECT_FALSE(model.state().openAtLogin);
  // The reset to off is a change of its own: it is applied (and fails quietly) once more.
  EXPECT_EQ(loginItem.requests, (std::vector<bool>{false, true, false}));

  // A failed unregistration of an item that is really there leaves the switch on.
  loginItem.failChanges = false;
  model.setOpenAtLogin(true);
  loginItem.failChanges = true;
  model.setOpenAtLogin(false);
  EXPECT_TRUE(model.state().openAtLogin);
}

TEST_F(MenuViewModelTest, ScreenProbeRunsOffTheMainThreadAndALateAnswerFindsNoPanel) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::thread::id probedOn;
  host.screenProbe = [&] {
    probedOn = std::this_thread::get_id();
    released.wait();
    return true;
  };
  auto model = std::make_unique<MenuViewModel>(host.environment());
  model->refreshPermissions();
  EXPECT_TRUE(flags.hasAccessibility) << "read at once";
  EXPECT_FALSE(flags.hasScreen) << "the main thread does not wait for the probe";
  release.set_value();
  ASSERT_TRUE(main.runUntil([&] { return model->state().hasScreen; }, 5s));
  EXPECT_NE(probedOn, std::this_thread::get_id());

  // A probe still running when the panel goes: its answer is dropped, nothing crashes.
  flags.hasScreen = false;
  std::promise<void> releaseLate;
  released = releaseLate.get_future().share();
  model->refreshPermissions();
  std::thread late([&] {
    std::this_thread::sleep_for(50ms);
    releaseLate.set_value();
  });
  model.reset();  // waits for the probe
  late.join();
  main.runFor(100ms);
  EXPECT_FALSE(flags.hasScreen);
}

}  // namespace
}  // namespace quorin
