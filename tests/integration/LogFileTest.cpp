// The diagnostic log lives in a folder everyone can write to: it must stay the owner's alone.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "platform/linux/LinuxBasics.h"

namespace {

namespace fs = std::filesystem;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

mode_t permissions(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(LogFileTest, TheLogIsTheOwnersAloneAndNeverWrittenThroughALinkOrIntoAnotherUsersFile) {
    char pattern[] = "/tmp/ws-logfile.XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    const std::string log = dir + "/agent.log";
    linuxplatform::PosixFiles files(dir);

    const mode_t oldMask = ::umask(0);
    EXPECT_TRUE(files.appendLog(log, "one\n"));
    ::umask(oldMask);
    EXPECT_EQ(permissions(log), 0600u);

    // A log of ours that others could read (an older run, a hand-made file) is closed to them first.
    ASSERT_EQ(::chmod(log.c_str(), 0644), 0);
    EXPECT_TRUE(files.appendLog(log, "two\n"));
    EXPECT_EQ(permissions(log), 0600u);
    EXPECT_EQ(contents(log), "one\ntwo\n");

    // A link planted in the log's place is never followed.
    const std::string link = dir + "/link.log";
    fs::create_symlink(log, link);
    EXPECT_FALSE(files.appendLog(link, "three\n"));
    EXPECT_EQ(contents(log), "one\ntwo\n");

    if (::getuid() == 0) {
        const std::string theirs = dir + "/theirs.log";
        std::ofstream(theirs) << "theirs\n";
        ASSERT_EQ(::chmod(theirs.c_str(), 0644), 0);
        ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(files.appendLog(theirs, "ours\n"));
        EXPECT_EQ(contents(theirs), "theirs\n");
        EXPECT_EQ(permissions(theirs), 0644u);
    }
    fs::remove_all(dir);
}

}  // namespace
