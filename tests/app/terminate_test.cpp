// SIGTERM to the window: nothing is asked, unsaved text is kept beside the document as
// at the end of a session, and the process ends.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "app/dialogs.h"
#include "app/editview.h"
#include "app/mainframe.h"
#include "testutil.h"

namespace {

const char PROGRAM[] = "PARAMETERS a;\nFUNCTION a*a;\n";

}  // namespace

// The window process on the offscreen platform gets SIGTERM and ends by it, saving its
// placement and writing no rescue file for a document without changes.
TEST(Terminate, WindowEndsOnSigterm)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/prog.mxl", PROGRAM);
    ASSERT_EQ(std::system(("mkdir -p '" + folder + "/config/MOXEL'").c_str()), 0);
    writeTextFile(folder + "/config/MOXEL/MOXEL.conf", "[General]\nFirstTime=1\n");
    const std::string command = "cd '" + folder + "' && (XDG_CONFIG_HOME='" + folder +
                                "/config' QT_QPA_PLATFORM=offscreen '" MOXEL_BINARY "' prog.mxl >out.txt 2>&1 & "
                                "window=$!; sleep 2; kill -TERM $window; wait $window)";
    const int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 128 + 15) << readTextFile(folder + "/out.txt");
    EXPECT_NE(access((folder + "/prog.mxl.unsaved").c_str(), F_OK), 0);
    EXPECT_EQ(readTextFile(folder + "/prog.mxl"), PROGRAM);
    // The placement was saved on the way out: the process was not merely killed.
    EXPECT_NE(readTextFile(folder + "/config/MOXEL/MOXEL.conf").find("WinFlags="), std::string::npos);
}

// What SIGTERM does in the window: the changed text goes to PROGRAM.mxl.unsaved, the
// program file stays as saved, and no box is shown.
TEST(Terminate, UnsavedTextIsKeptWithoutAsking)
{
    const std::string folder = testTempDir();
    writeTextFile(folder + "/prog.mxl", PROGRAM);
    auto frame = std::make_unique<CMainFrame>();
    frame->show();
    ASSERT_TRUE(frame->openDocument(QString::fromStdString(folder + "/prog.mxl")));
    frame->editView()->moveCursor(QTextCursor::End);
    frame->editView()->insertPlainText("// changed\n");
    frame->endWithoutAsking();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(readTextFile(folder + "/prog.mxl.unsaved"), std::string(PROGRAM) + "// changed\n");
    EXPECT_EQ(readTextFile(folder + "/prog.mxl"), PROGRAM);
    frame->editView()->document()->setModified(false);
}
