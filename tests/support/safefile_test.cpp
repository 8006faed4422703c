// The safe file writer: a file takes its name only when complete, the old file stays on
// any failure, and no temporary outlives the writer.
#include "support/safefile.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int entriesIn(const std::string& folder)
{
    int count = 0;
    DIR* dir = opendir(folder.c_str());
    while (dirent* entry = dir ? readdir(dir) : nullptr)
        count += strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0;
    if (dir)
        closedir(dir);
    return count;
}

}  // namespace

// Until the commit the old file is untouched and the new text lives under another name
// in the same folder; the commit puts it in place, with the old file's permissions.
TEST(SafeFile, CommitReplacesTheOldFileWhole)
{
    const std::string folder = testTempDir();
    const std::string path = folder + "/result.txt";
    writeTextFile(path, "old\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    SafeFile file;
    ASSERT_TRUE(safeFileOpen(&file, path));
    EXPECT_EQ(safeFileOpenCount(), 1);
    EXPECT_EQ(file.temporary.rfind(path + ".part.", 0), 0u);
    fputs("new\n", file.stream);
    EXPECT_EQ(readTextFile(path), "old\n");
    EXPECT_TRUE(safeFileCommit(&file));
    EXPECT_EQ(readTextFile(path), "new\n");
    EXPECT_EQ(safeFileOpenCount(), 0);
    EXPECT_EQ(entriesIn(folder), 1);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

// Two writers of one name never share a temporary: each commit puts a whole file in
// place, and the last one wins.
TEST(SafeFile, TwoWritersOfOneNameEachWriteTheirOwn)
{
    const std::string folder = testTempDir();
    const std::string path = folder + "/shared.lst";
    SafeFile first;
    SafeFile second;
    ASSERT_TRUE(safeFileOpen(&first, path));
    ASSERT_TRUE(safeFileOpen(&second, path));
    EXPECT_NE(first.temporary, second.temporary);
    fputs("first\n", first.stream);
    fputs("second\n", second.stream);
    EXPECT_TRUE(safeFileCommit(&first));
    EXPECT_EQ(readTextFile(path), "first\n");
    EXPECT_TRUE(safeFileCommit(&second));
    EXPECT_EQ(readTextFile(path), "second\n");
    EXPECT_EQ(entriesIn(folder), 1);
}

// Failures, each with the system's reason; the old file stays and nothing is left.
TEST(SafeFile, FailuresKeepTheOldFile)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/kept.txt", "old\n");
    ASSERT_EQ(mkdir((folder + "/folder.txt").c_str(), 0755), 0);
    struct Case {
        std::string path;
        int error;
    };
    const Case cases[] = {
        {folder + "/missing/file.txt", ENOENT},
        {folder + "/folder.txt", EISDIR},
        {folder + "/" + std::string(300, 'n'), ENAMETOOLONG},
    };
    for (const Case& c : cases) {
        SafeFile file;
        EXPECT_FALSE(safeFileOpen(&file, c.path)) << c.path;
        EXPECT_EQ(file.error, c.error) << c.path;
        EXPECT_STREQ(safeFileReason(&file), strerror(c.error));
        EXPECT_EQ(file.stream, nullptr);
    }
    // Discarded: the old file stays.
    SafeFile file;
    ASSERT_TRUE(safeFileOpen(&file, folder + "/kept.txt"));
    fputs("half", file.stream);
    safeFileDiscard(&file);
    EXPECT_EQ(readTextFile(folder + "/kept.txt"), "old\n");
    // A write beyond the file-size limit (a full disk) fails the commit, in a child
    // process whose limit does not bind the tests.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        SafeFile full;
        if (!safeFileOpen(&full, folder + "/kept.txt"))
            _exit(2);
        for (int i = 0; i < 1000; ++i)
            fputs("0123456789\n", full.stream);
        _exit(!safeFileCommit(&full) && full.error == EFBIG ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(readTextFile(folder + "/kept.txt"), "old\n");
    EXPECT_EQ(entriesIn(folder), 2);
}

// A name that is a link: the link's target is replaced and the link stays; a device is
// written directly, never replaced by a regular file.
TEST(SafeFile, LinksAndDevices)
{
    const std::string folder = testTempDir();
    ASSERT_EQ(mkdir((folder + "/data").c_str(), 0755), 0);
    writeTextFile(folder + "/data/real.txt", "old\n");
    ASSERT_EQ(symlink("data/real.txt", (folder + "/link.txt").c_str()), 0);
    SafeFile file;
    ASSERT_TRUE(safeFileOpen(&file, folder + "/link.txt"));
    fputs("new\n", file.stream);
    ASSERT_TRUE(safeFileCommit(&file));
    struct stat info;
    ASSERT_EQ(lstat((folder + "/link.txt").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(readTextFile(folder + "/data/real.txt"), "new\n");

    SafeFile device;
    ASSERT_TRUE(safeFileOpen(&device, "/dev/null"));
    EXPECT_TRUE(device.temporary.empty());
    fputs("nothing\n", device.stream);
    EXPECT_TRUE(safeFileCommit(&device));
    ASSERT_EQ(stat("/dev/null", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
}

// Temporaries name their writer: those of a dead process are removed by the next writer
// of the same target, those of a live one (this process's other writer) and of other
// targets stay. Every temporary's name is a legal name, even for the longest target name.
TEST(SafeFile, LeftoversOfDeadWritersAreClearedAndNamesStayLegal)
{
    const std::string folder = testTempDir();
    const std::string path = folder + "/r.lst";
    SafeFile live;
    ASSERT_TRUE(safeFileOpen(&live, path));
    const std::string self = std::to_string(getpid()) + ".";
    const size_t writerAt = live.temporary.find(self, path.size());
    ASSERT_EQ(writerAt, path.size() + strlen(".part."));
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    // The dead child's leftover, with the same host tag and a unique part.
    std::string dead = live.temporary;
    dead.replace(writerAt, self.size() - 1, std::to_string(child));
    writeTextFile(dead, "half");
    writeTextFile(folder + "/other.lst.part." + std::to_string(child) + ".x", "kept");
    SafeFile next;
    ASSERT_TRUE(safeFileOpen(&next, path));
    EXPECT_TRUE(readTextFile(dead).empty());
    EXPECT_EQ(access(live.temporary.c_str(), F_OK), 0);
    EXPECT_EQ(entriesIn(folder), 3);
    safeFileDiscard(&live);
    safeFileDiscard(&next);

    for (const size_t length : {200u, 244u, 255u}) {
        const std::string name = folder + "/" + std::string(length - 4, 'n') + ".mxl";
        SafeFile longName;
        ASSERT_TRUE(safeFileOpen(&longName, name)) << length << ": " << safeFileReason(&longName);
        EXPECT_LE(longName.temporary.size() - folder.size() - 1, 255u);
        EXPECT_TRUE(safeFileCommit(&longName));
        EXPECT_EQ(access(name.c_str(), F_OK), 0);
    }
}

// A pipe that no program reads fails at once, with a reason that says so.
TEST(SafeFile, PipeWithoutReaderFailsAtOnce)
{
    const std::string pipe = testTempDir() + "/out.fifo";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    SafeFile file;
    EXPECT_FALSE(safeFileOpen(&file, pipe));
    EXPECT_STREQ(safeFileReason(&file), "no program reads from this pipe");
}

// What a second signal does: every open temporary is removed, and only those.
TEST(SafeFile, RemovingTheTemporariesLeavesEverythingElse)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/a.txt", "old a\n");
    SafeFile a;
    SafeFile b;
    ASSERT_TRUE(safeFileOpen(&a, folder + "/a.txt"));
    ASSERT_TRUE(safeFileOpen(&b, folder + "/b.txt"));
    EXPECT_EQ(entriesIn(folder), 3);
    safeFileRemoveTemporaries();
    EXPECT_EQ(entriesIn(folder), 1);
    EXPECT_EQ(readTextFile(folder + "/a.txt"), "old a\n");
    // The commit of a removed temporary fails and puts nothing in place.
    EXPECT_FALSE(safeFileCommit(&a));
    EXPECT_FALSE(safeFileCommit(&b));
    EXPECT_EQ(readTextFile(folder + "/a.txt"), "old a\n");
    EXPECT_EQ(safeFileOpenCount(), 0);
}

TEST(SafeFile, FullPathForMessages)
{
    char folder[4096];
    ASSERT_NE(getcwd(folder, sizeof folder), nullptr);
    EXPECT_EQ(safeFileFullPath("/abs/x.lst"), "/abs/x.lst");
    EXPECT_EQ(safeFileFullPath("x.lst"), std::string(folder) + "/x.lst");
    EXPECT_EQ(safeFileFullPath("./sub/x.lst"), std::string(folder) + "/sub/x.lst");
}
