// What the host tells the phone when mutter refuses a session: the lock screen, mutter's
// absence, or a refusal the portal may still grant (the environment then asks the portal).

#include <gtest/gtest.h>

#include "desktop/gnome/mutter_remote_desktop.h"
#include "video/capture_error.h"

namespace quorin {
namespace {

TEST(MutterRefusal, TheLockScreenMutterAbsentOrARefusalEachSayWhy) {
  // As mutter 43 answers CreateSession while the lock screen inhibits remote access.
  EXPECT_EQ(MutterRemoteDesktop::refusal("org.freedesktop.DBus.Error.AccessDenied", "Session creation inhibited"),
            screenLockedError());
  EXPECT_EQ(screenLockedError().description, "The screen of this computer is locked; unlock it to connect again.");
  for (const char* gone : {"org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NoReply",
                           "org.freedesktop.DBus.Error.NameHasNoOwner", "System.Error.ETIMEDOUT", ""}) {
    EXPECT_EQ(MutterRemoteDesktop::refusal(gone, "whatever"), compositorGoneError()) << gone;
  }
  // Any other denial (a sandbox, a policy) is no lock.
  EXPECT_EQ(MutterRemoteDesktop::refusal("org.freedesktop.DBus.Error.AccessDenied", "Permission denied"),
            sharingRefusedError());
  EXPECT_EQ(MutterRemoteDesktop::refusal("org.freedesktop.DBus.Error.Failed", "Session creation inhibited"),
            sharingRefusedError());
}

}  // namespace
}  // namespace quorin
