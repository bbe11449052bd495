#include "devserver/DataDir.h"
#include "devserver/Options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>

using devserver::Options;

namespace {

std::variant<Options, std::string> parse(std::vector<const char*> args) {
    args.insert(args.begin(), "wellspire-devserver");
    return Options::parse(static_cast<int>(args.size()), args.data());
}

}  // namespace

TEST(Options, ParsesFlagsInBothSpellings) {
    const auto defaults = std::get<Options>(parse({}));
    EXPECT_EQ(defaults.port, 5055);
    EXPECT_TRUE(defaults.dbPath.empty());

    const auto set = std::get<Options>(parse({"--port", "6000", "--db=/tmp/x.db", "--phrases", "/tmp/p.json"}));
    EXPECT_EQ(set.port, 6000);
    EXPECT_EQ(set.dbPath, "/tmp/x.db");
    EXPECT_EQ(set.phrasesPath, "/tmp/p.json");

    for (auto bad : std::vector<std::vector<const char*>>{
             {"--port"}, {"--port", "0"}, {"--port", "70000"}, {"--port", "50x"}, {"--host", "0.0.0.0"},
             {"--db="}, {"stray"}}) {
        EXPECT_TRUE(std::holds_alternative<std::string>(parse(bad))) << bad[0];
    }
}

TEST(DataDir, DefaultDatabaseLivesInAPrivateFolderUnderXdgDataHome) {
    char pattern[] = "/tmp/devserver-data-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string base = pattern;
    const char* old = std::getenv("XDG_DATA_HOME");
    const std::string saved = old ? old : "";
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    setenv("XDG_DATA_HOME", (base + "/share").c_str(), 1);

    EXPECT_EQ(devserver::DataDir::defaultDatabasePath(), base + "/share/wellspire-devserver/devserver.sqlite3");
    struct stat st {};
    ASSERT_EQ(stat((base + "/share/wellspire-devserver").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A relative XDG_DATA_HOME is not a valid setting and falls back to the home folder.
    setenv("XDG_DATA_HOME", "relative/share", 1);
    setenv("HOME", base.c_str(), 1);
    EXPECT_EQ(devserver::DataDir::folder(), base + "/.local/share/wellspire-devserver");

    if (old) setenv("XDG_DATA_HOME", saved.c_str(), 1); else unsetenv("XDG_DATA_HOME");
    if (oldHome) setenv("HOME", savedHome.c_str(), 1); else unsetenv("HOME");
    std::filesystem::remove_all(base);
}
