// Inputs that passed silently or took seconds before, through build/moxel -run: data
// values beyond the range of a double, Bessel functions of huge orders, and a listing
// path that is a symbolic link.
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int countOf(const std::string& text, const std::string& part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace

// Values beyond a double are errors of their records, counted with the other data
// messages: of twelve bad records only the first nine are reported.
TEST(BadInputs, DataValuesOutOfRange)
{
    std::string program = "VARIABLES y, x;\nPARAMETERS a = 1;\nFUNCTION y = a * x;\nDATA;\n"
                          "1e400 2\n3 -1e999\n5 6\n1.8D308 2\n7 1e308\n";
    for (int k = 0; k < 8; ++k) program += "1e999 1\n";
    const MoxelRun run = runMoxel(program);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("Number out of range on data record 1: 1e400\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Number out of range on data record 2: -1e999\n"), std::string::npos);
    EXPECT_NE(run.out.find("Number out of range on data record 4: 1.8D308\n"), std::string::npos);
    EXPECT_EQ(run.out.find("record 5"), std::string::npos) << "1e308 is a double";
    EXPECT_EQ(countOf(run.out, "Number out of range"), 9);
    EXPECT_NE(run.listing.find("Error: Number out of range on data record 1: 1e400\n"), std::string::npos);
    EXPECT_EQ(run.listing.find("Final Results"), std::string::npos);
}

// JN and YN of an order beyond 100000 report a run-time error at once (the library's
// recurrence took about ten seconds per call at 1e9); JN where it is known to be 0 keeps
// that value, and orders up to the limit compute as before.
TEST(BadInputs, BesselFunctionsOfHugeOrders)
{
    struct Case {
        const char* term;       // added to the model a * x
        const char* message;    // expected run-time message, or null
    };
    const Case cases[] = {
        {"JN(n, 2e9 + x)", "Error: Order of JN function is too large: 1E+09"},
        {"YN(n, 2e9 + x)", "Error: Order of YN function is too large: 1E+09"},
        {"YN(-n, 0.5)", "Error: Order of YN function is too large: -1E+09"},
        {"JN(n, 0.5)", nullptr},
        {"JN(100000, 2e5) + YN(100000, 2e5)", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.term);
        const std::string program = "VARIABLES y, x;\nPARAMETERS a = 1;\nDOUBLE n;\nn = 1e9;\n"
                                    "FUNCTION y = a * x + " + std::string(c.term) + ";\nDATA;\n1 1\n2 2.5\n3 2.9\n";
        const MoxelRun run = runMoxel(program);
        if (c.message) {
            EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
            EXPECT_EQ(run.status, 3);
        } else {
            EXPECT_EQ(run.out.find("Error"), std::string::npos) << run.out;
            EXPECT_EQ(run.status, 0);
        }
    }
}

// A listing path that is a symbolic link: the listing is written to the link's target
// (through a relative link, and through a link whose target does not exist yet), the
// link stays a link, and no temporary file is left behind.
TEST(BadInputs, ListingPathThatIsALink)
{
    const char program[] = "VARIABLES y, x;\nPARAMETERS a = 1;\nFUNCTION y = a * x;\nDATA;\n1 1\n2 2.5\n3 2.9\n";
    for (const char* target : {"kept/listing.txt", "new/listing.txt"}) {
        SCOPED_TRACE(target);
        const std::string folder = testTempDir();
        ASSERT_EQ(mkdir((folder + "/kept").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((folder + "/new").c_str(), 0755), 0);
        writeTextFile(folder + "/kept/listing.txt", "old listing\n");
        ASSERT_EQ(symlink(target, (folder + "/prog.lst").c_str()), 0);
        const MoxelRun run = runMoxel(program, "prog", folder);
        EXPECT_EQ(run.status, 0) << run.err;
        struct stat info;
        ASSERT_EQ(lstat((folder + "/prog.lst").c_str(), &info), 0);
        EXPECT_TRUE(S_ISLNK(info.st_mode));
        const std::string written = readTextFile(folder + "/" + target);
        EXPECT_NE(written.find("Final Results"), std::string::npos);
        EXPECT_EQ(written, run.listing);
        EXPECT_NE(access((folder + "/" + target + ".part").c_str(), F_OK), 0);
        EXPECT_NE(access((folder + "/prog.lst.part").c_str(), F_OK), 0);
    }
}
