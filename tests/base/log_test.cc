#include "base/log.h"

#include <gtest/gtest.h>

#include "fakes/log_capture.h"

namespace quorin {
namespace {

TEST(Log, EveryLineCarriesThePrefixAndReachesTheSink) {
  LogCapture capture;
  logLine("connection READY");
  logLine("");
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"QuorinRemote: connection READY",
                                                       "QuorinRemote: "}));
}

}  // namespace
}  // namespace quorin
