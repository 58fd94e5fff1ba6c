#pragma once
// The behaviour every SecretBackend shares, run against each real backend. A test file
// instantiates it with a factory:
//     INSTANTIATE_TEST_SUITE_P(File, SecretBackendContract, testing::Values(&makeBackend),
//                              [](const auto&) { return std::string("file"); });

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "identity/secret_backend.h"

namespace quorin {

using BackendFactory = std::unique_ptr<SecretBackend> (*)();

class SecretBackendContract : public testing::TestWithParam<BackendFactory> {
 protected:
  // A factory that cannot make its backend skips or fails the test itself.
  void SetUp() override { backend_ = GetParam()(); }
  void TearDown() override {
    if (!backend_) return;
    backend_->deleteItem(first_);
    backend_->deleteItem(second_);
  }
  // How often each of this test's accounts is listed.
  std::pair<long, long> listed() {
    const auto all = backend_->allAccounts();
    return {std::count(all.begin(), all.end(), first_), std::count(all.begin(), all.end(), second_)};
  }

  std::unique_ptr<SecretBackend> backend_;
  // Names of this process only, so a shared keyring's other items are left alone.
  const std::string first_ = "contract-" + std::to_string(::getpid()) + "-1";
  const std::string second_ = "contract-" + std::to_string(::getpid()) + "-2";
};

TEST_P(SecretBackendContract, KeepsOneValuePerAccountUntilDeleted) {
  EXPECT_FALSE(backend_->load(first_));
  EXPECT_FALSE(backend_->whyUnreadable(first_));  // a missing item is just missing
  EXPECT_FALSE(backend_->deleteItem(first_));

  const Bytes binary{0x00, 0xff, 0x0a, 0x00, 0x80};
  ASSERT_TRUE(backend_->save(bytesOf("old"), first_));
  ASSERT_TRUE(backend_->save(binary, first_));
  ASSERT_TRUE(backend_->save({}, second_));
  EXPECT_EQ(backend_->load(first_), binary);
  EXPECT_EQ(backend_->load(second_), Bytes{});  // empty, yet present
  EXPECT_EQ(listed(), std::pair(1L, 1L));

  EXPECT_TRUE(backend_->deleteItem(first_));
  EXPECT_FALSE(backend_->load(first_));
  EXPECT_EQ(listed(), std::pair(0L, 1L));
  EXPECT_EQ(backend_->load(second_), Bytes{});
}

}  // namespace quorin
