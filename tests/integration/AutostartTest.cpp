// Start at login: the entry in the user's autostart folder, written whole and owner-only, or gone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

#include "platform/linux/shell/Autostart.h"

namespace {

namespace fs = std::filesystem;
using linuxplatform::Autostart;

TEST(AutostartTest, OffUntilTurnedOnThenAWholeOwnerOnlyEntryThatOffRemovesAndTheDesktopMayDisable) {
    char pattern[] = "/tmp/ws-autostart.XXXXXX";
    const fs::path home = ::mkdtemp(pattern);
    Autostart autostart(home / "config", "wellspire-agent", "/usr/bin/wellspire-agent");
    EXPECT_FALSE(autostart.isOn());
    ASSERT_TRUE(autostart.setOn(true));
    ASSERT_TRUE(autostart.setOn(true));
    EXPECT_TRUE(autostart.isOn());
    std::stringstream text;
    text << std::ifstream(home / "config/autostart/com.wellspire.Agent.desktop").rdbuf();
    EXPECT_EQ(text.str().rfind("[Desktop Entry]\nType=Application\n", 0), 0u);
    EXPECT_NE(text.str().find("\nExec=wellspire-agent\n"), std::string::npos);
    // Once the package is gone, the session finds no program there and starts nothing.
    EXPECT_NE(text.str().find("\nTryExec=/usr/bin/wellspire-agent\n"), std::string::npos) << text.str();
    EXPECT_EQ(fs::status(autostart.path()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(std::distance(fs::directory_iterator(home / "config/autostart"), fs::directory_iterator()), 1)
        << "a temporary file was left beside the entry";

    std::ofstream(autostart.path()) << "[Desktop Entry]\nExec=wellspire-agent\nX-GNOME-Autostart-enabled=false\n";
    EXPECT_FALSE(autostart.isOn());
    ASSERT_TRUE(autostart.setOn(false));
    EXPECT_FALSE(fs::exists(autostart.path()));
    EXPECT_TRUE(autostart.setOn(false)) << "off when already off is no failure";

    std::ofstream(home / "file") << "not a folder";
    EXPECT_FALSE(Autostart(home / "file", "wellspire-agent", "/usr/bin/wellspire-agent").setOn(true));

    // The installed agent is named as the search path finds it; another build by its quoted path.
    fs::create_directories(home / "bin");
    std::ofstream(home / "bin/wellspire-agent") << "#!/bin/sh\n";
    fs::permissions(home / "bin/wellspire-agent", fs::perms::owner_all);
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (home / "bin").c_str(), 1);
    EXPECT_EQ(Autostart::execFor((home / "bin/wellspire-agent").string()), "wellspire-agent");
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(Autostart::execFor("/opt/a b/100%/x\"$y"), "\"/opt/a b/100%%/x\\\\\"\\\\$y\"");
    fs::remove_all(home);
}

}  // namespace
