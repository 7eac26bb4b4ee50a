#include "Foundation/AppPaths.h"
#include "Foundation/UserDefaults.h"

#include <QFile>

#include <sys/stat.h>

#include <gtest/gtest.h>

TEST(UserDefaultsTest, StoresValuesInAPrivateFile) {
    auto& defaults = UserDefaults::shared();
    defaults.setValue("com.vantrose.accessToken", "abc");
    EXPECT_EQ(defaults.string("com.vantrose.accessToken"), "abc");
    EXPECT_TRUE(defaults.contains("com.vantrose.accessToken"));

    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(AppPaths::userDefaultsFile()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    UserDefaults::reloadForTesting();  // a fresh process reads what was written
    EXPECT_EQ(UserDefaults::shared().string("com.vantrose.accessToken"), "abc");
    UserDefaults::shared().remove("com.vantrose.accessToken");
    EXPECT_FALSE(UserDefaults::shared().contains("com.vantrose.accessToken"));
    EXPECT_EQ(UserDefaults::shared().string("com.vantrose.accessToken"), "");
}
