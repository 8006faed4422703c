// SIGTERM or SIGHUP to the window: nothing is asked, unsaved text is kept beside the
// document as at the end of a session (or in the recovery folder), and the process ends.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/dialogs.h"
#include "app/editview.h"
#include "app/mainframe.h"
#include "testutil.h"

namespace {

const char PROGRAM[] = "PARAMETERS a;\nFUNCTION a*a;\n";

}  // namespace

// The window process on the offscreen platform gets SIGTERM (or SIGHUP, its terminal
// closed) and ends by it, saving its placement and writing no rescue file for a
// document without changes. A document that is a pipe is refused, not waited on.
TEST(Terminate, WindowEndsOnSigtermAndSighup)
{
    for (const auto& [signalNumber, pipe] : {std::pair{SIGTERM, false}, {SIGHUP, false}, {SIGTERM, true}}) {
        const std::string folder = testTempDir();
        if (pipe)
            ASSERT_EQ(mkfifo((folder + "/prog.mxl").c_str(), 0600), 0);
        else
            writeTextFile(folder + "/prog.mxl", PROGRAM);
        ASSERT_EQ(std::system(("mkdir -p '" + folder + "/config/MOXEL'").c_str()), 0);
        writeTextFile(folder + "/config/MOXEL/MOXEL.conf", "[General]\nFirstTime=1\n");
        const std::string command = "cd '" + folder + "' && (XDG_CONFIG_HOME='" + folder +
                                    "/config' QT_QPA_PLATFORM=offscreen '" MOXEL_BINARY "' prog.mxl >out.txt 2>&1 & "
                                    "window=$!; sleep 2; kill -" + std::to_string(signalNumber) +
                                    " $window; wait $window)";
        const int raw = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(raw));
        EXPECT_EQ(WEXITSTATUS(raw), 128 + signalNumber) << readTextFile(folder + "/out.txt");
        EXPECT_NE(access((folder + "/prog.mxl.unsaved").c_str(), F_OK), 0);
        if (!pipe)
            EXPECT_EQ(readTextFile(folder + "/prog.mxl"), PROGRAM);
        // The placement was saved on the way out: the process was not merely killed.
        EXPECT_NE(readTextFile(folder + "/config/MOXEL/MOXEL.conf").find("WinFlags="), std::string::npos);
    }
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

// The program's folder is gone when the window must end: the unsaved text goes to the
// recovery folder under XDG_STATE_HOME, and the next start offers it back as an untitled
// program.
TEST(Terminate, UnsavedTextOfAGoneFolderIsRecovered)
{
    const std::string state = testTempDir();
    const QByteArray previous = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", QByteArray::fromStdString(state));
    const std::string folder = testTempDir() + "/gone";
    ASSERT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
    writeTextFile(folder + "/prog.mxl", PROGRAM);
    {
        auto frame = std::make_unique<CMainFrame>();
        frame->show();
        ASSERT_TRUE(frame->openDocument(QString::fromStdString(folder + "/prog.mxl")));
        frame->editView()->moveCursor(QTextCursor::End);
        frame->editView()->insertPlainText("// typed\n");
        ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
        frame->endWithoutAsking();
        frame->editView()->document()->setModified(false);
    }
    const QDir recovery(QString::fromStdString(state + "/MOXEL/recovery"));
    const QStringList kept = recovery.entryList({QStringLiteral("prog.mxl.*.unsaved")}, QDir::Files);
    ASSERT_EQ(kept.size(), 1) << state;
    EXPECT_EQ(readTextFile(recovery.filePath(kept.first()).toStdString()), std::string(PROGRAM) + "// typed\n");

    // The next start: the question is answered Yes, the text is back and the copy gone.
    auto frame = std::make_unique<CMainFrame>();
    frame->show();
    QTimer::singleShot(100, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->button(QMessageBox::Yes)->click();
    });
    frame->offerRecoveredText();
    EXPECT_EQ(frame->editView()->toPlainText().toStdString(), std::string(PROGRAM) + "// typed\n");
    EXPECT_TRUE(recovery.entryList({QStringLiteral("*.unsaved")}, QDir::Files).isEmpty());
    frame->editView()->document()->setModified(false);
    qputenv("XDG_STATE_HOME", previous);
}
