// The screen-cast token lives with the screen-text consent in agent.ini.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/linux/common/Consent.h"

namespace {

namespace fs = std::filesystem;
using linuxplatform::Consent;

std::string contents(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(ConsentToken, IsKeptOnlyWhileScreenTextIsAgreedTo) {
    char pattern[] = "/tmp/ws-consent-XXXXXX";
    const fs::path dir = mkdtemp(pattern);
    const std::string ini = (dir / "agent.ini").string();
    {
        Consent consent(ini);
        EXPECT_EQ(consent.screenCastToken(), "");
        consent.setScreenCastToken("before-consent");  // no agreement yet: not kept
        EXPECT_EQ(consent.screenCastToken(), "");

        consent.setScreenText(true);
        consent.setScreenCastToken("a1b2-c3");
        consent.setTypedText(true);  // another consent leaves the token alone
        EXPECT_EQ(consent.screenCastToken(), "a1b2-c3");
    }
    {
        Consent reopened(ini);  // the next start finds it
        EXPECT_EQ(reopened.screenCastToken(), "a1b2-c3");
        EXPECT_NE(contents(ini).find("screenCastToken=a1b2-c3"), std::string::npos);

        reopened.setScreenText(false);
        EXPECT_EQ(reopened.screenCastToken(), "");
        EXPECT_EQ(contents(ini).find("screenCastToken"), std::string::npos);
        reopened.setScreenCastToken("late");  // a session that answers after the withdrawal
        EXPECT_EQ(reopened.screenCastToken(), "");
    }
    EXPECT_EQ(Consent(ini).screenCastToken(), "");
    fs::remove_all(dir);
}

}  // namespace
