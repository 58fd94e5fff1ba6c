#pragma once
// Skips the calling test when a service it needs is missing, or fails it when CI is "true",
// where every service must be there (tests only). Returns from the calling void function.

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#define QUORIN_REQUIRE(available, why)                                                     \
  if (!(available)) {                                                                      \
    if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true") {             \
      FAIL() << why << " (CI is true)";                                                    \
    }                                                                                      \
    GTEST_SKIP() << why;                                                                   \
  }
