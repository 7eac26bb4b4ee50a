#include "Core/Cloud/AccountAccess.h"
#include "Auth/AuthManager.h"
#include "support/AwaitTask.h"

#include <gtest/gtest.h>

namespace {

class FixedTokenSource final : public AbstractAccessTokenSource {
public:
    explicit FixedTokenSource(std::optional<QString> token) : m_token(std::move(token)) {}
    QCoro::Task<std::optional<QString>> getAccessToken() override {
        ++refreshingReads;
        co_return m_token;
    }
    std::optional<QString> cachedAccessToken() const override { return m_token; }
    int refreshingReads = 0;

private:
    std::optional<QString> m_token;
};

// The test programs install the account as the source; each case starts from its own.
class AccountAccessTest : public ::testing::Test {
protected:
    void TearDown() override { AuthManager::installAsTokenSource(); }
};

TEST_F(AccountAccessTest, WithoutASourceNoRequestCarriesAToken) {
    AccountAccess::setTokenSource({});
    EXPECT_EQ(AccountAccess::cachedAccessToken(), std::nullopt);
    EXPECT_EQ(AwaitTask::run(AccountAccess::getAccessToken()), std::nullopt);
}

TEST_F(AccountAccessTest, TheInstalledSourceIsAskedOnEachUse) {
    int provided = 0;
    FixedTokenSource first(QStringLiteral("first"));
    AccountAccess::setTokenSource([&]() -> AbstractAccessTokenSource& {
        ++provided;
        return first;
    });
    EXPECT_EQ(provided, 0);  // created where first needed, as the account is
    EXPECT_EQ(AccountAccess::cachedAccessToken(), QStringLiteral("first"));
    EXPECT_EQ(AwaitTask::run(AccountAccess::getAccessToken()), QStringLiteral("first"));
    EXPECT_EQ(first.refreshingReads, 1);
    EXPECT_EQ(provided, 2);

    // A signed-out source answers nothing, and so does the seam.
    FixedTokenSource signedOut(std::nullopt);
    AccountAccess::setTokenSource([&]() -> AbstractAccessTokenSource& { return signedOut; });
    EXPECT_EQ(AccountAccess::cachedAccessToken(), std::nullopt);
    EXPECT_EQ(AwaitTask::run(AccountAccess::getAccessToken()), std::nullopt);
}

}  // namespace
