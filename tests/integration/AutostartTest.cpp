// Start at login: the entry in the user's autostart folder, written whole and owner-only, or gone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/Autostart.h"

namespace {

namespace fs = std::filesystem;
using linuxplatform::Autostart;

std::string readAll(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class AutostartTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ws-autostart.XXXXXX";
        home = ::mkdtemp(pattern);
    }
    void TearDown() override { fs::remove_all(home); }
    fs::path home;
};

TEST_F(AutostartTest, OffUntilTurnedOnThenAWholeOwnerOnlyEntryThatTurningOffRemoves) {
    Autostart autostart(home / "config", "wellspire-agent");
    EXPECT_FALSE(autostart.isOn());
    EXPECT_EQ(autostart.path(), (home / "config/autostart/com.wellspire.Agent.desktop").string());

    ASSERT_TRUE(autostart.setOn(true));
    EXPECT_TRUE(autostart.isOn());
    const std::string text = readAll(autostart.path());
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=wellspire-agent\n"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(autostart.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, ::getuid());
    // Turning it on again replaces the entry; no temporary file is left beside it.
    ASSERT_TRUE(autostart.setOn(true));
    EXPECT_EQ(std::distance(fs::directory_iterator(home / "config/autostart"), fs::directory_iterator()), 1);

    ASSERT_TRUE(autostart.setOn(false));
    EXPECT_FALSE(autostart.isOn());
    EXPECT_FALSE(fs::exists(autostart.path()));
    EXPECT_TRUE(autostart.setOn(false)) << "off when already off is no failure";
}

TEST_F(AutostartTest, AnEntryTheDesktopDisabledIsOffAndAnUnwritableFolderIsAFailure) {
    Autostart autostart(home / "config", "wellspire-agent");
    fs::create_directories(home / "config/autostart");
    std::ofstream(autostart.path()) << "[Desktop Entry]\nType=Application\nExec=wellspire-agent\nHidden=true\n";
    EXPECT_FALSE(autostart.isOn());
    std::ofstream(autostart.path()) << "[Desktop Entry]\nExec=wellspire-agent\nX-GNOME-Autostart-enabled=false\n";
    EXPECT_FALSE(autostart.isOn());
    ASSERT_TRUE(autostart.setOn(true));
    EXPECT_TRUE(autostart.isOn());

    std::ofstream(home / "file") << "not a folder";
    Autostart blocked(home / "file", "wellspire-agent");
    EXPECT_FALSE(blocked.setOn(true));
    EXPECT_FALSE(blocked.isOn());
}

TEST_F(AutostartTest, ABinaryOffTheSearchPathIsNamedByItsPathQuotedAsDesktopEntriesQuote) {
    EXPECT_EQ(Autostart::execFor("/opt/wellspire/bin/wellspire-agent"), "/opt/wellspire/bin/wellspire-agent");
    EXPECT_EQ(Autostart::execFor("/home/a b/100%/wellspire-agent"), "\"/home/a b/100%%/wellspire-agent\"");
    EXPECT_EQ(Autostart::execFor("/home/x\"$y/agent"), "\"/home/x\\\\\"\\\\$y/agent\"");

    // The installed agent, found by the search path, is named by its bare name.
    fs::create_directories(home / "bin");
    const fs::path binary = home / "bin/wellspire-agent";
    std::ofstream(binary) << "#!/bin/sh\n";
    fs::permissions(binary, fs::perms::owner_all);
    const char* saved = std::getenv("PATH");
    const std::string old = saved ? saved : "";
    ::setenv("PATH", (home / "bin").c_str(), 1);
    EXPECT_EQ(Autostart::execFor(binary.string()), "wellspire-agent");
    ::setenv("PATH", old.c_str(), 1);
    EXPECT_EQ(Autostart::execFor(binary.string()), binary.string());
}

}  // namespace
