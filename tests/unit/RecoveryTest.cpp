// Which failures are retried, and the recovery page's address.
#include "web/Recovery.h"

#include <gtest/gtest.h>

using namespace mirovan;

TEST(Retry, OnlyRealFailuresOnceThePageIsKnown) {
    EXPECT_TRUE(shouldRetry(LoadError::other, true));
    EXPECT_FALSE(shouldRetry(LoadError::other, false));
    EXPECT_FALSE(shouldRetry(LoadError::cancelled, true));
    EXPECT_FALSE(shouldRetry(LoadError::interruptedByPolicy, true));
}

TEST(RecoveryAddress, ReplacesOnlyThePath) {
    EXPECT_EQ(recoveryAddress("http://127.0.0.1:5123/"), "http://127.0.0.1:5123/shell");
    EXPECT_EQ(recoveryAddress("http://127.0.0.1:5123/app/index.html?token=a%20b"),
              "http://127.0.0.1:5123/shell?token=a%20b");
    EXPECT_EQ(recoveryAddress("http://127.0.0.1"), "http://127.0.0.1/shell");
    EXPECT_EQ(recoveryAddress("https://[::1]:8443/x"), "https://[::1]:8443/shell");
    EXPECT_EQ(recoveryAddress("not a url"), std::nullopt);
}
