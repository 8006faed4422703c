// The main frame on the offscreen platform, shared by the window's test files: a frame
// shown in a fresh folder, a program opened from it, and a Run waited for to its end.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>

#include <memory>
#include <string>

#include "app/editview.h"
#include "app/mainframe.h"
#include "testutil.h"

// Waits, handling events, until done() or the time is up.
template <typename Done>
bool waitFor(Done done, int milliseconds = 20000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < milliseconds)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

class FrameTest : public ::testing::Test {
protected:
    std::unique_ptr<CMainFrame> frame;
    std::string folder;

    void SetUp() override
    {
        folder = testTempDir();
        QDir::setCurrent(QString::fromStdString(folder));
        frame = std::make_unique<CMainFrame>();
        frame->show();
    }
    void TearDown() override
    {
        frame->editView()->document()->setModified(false);
        frame.reset();
    }

    // Saves text as folder/name.mxl and opens it.
    void openProgram(const std::string& text, const std::string& name = "fit")
    {
        const std::string path = folder + "/" + name + ".mxl";
        writeTextFile(path, text);
        ASSERT_TRUE(frame->openDocument(QString::fromStdString(path)));
    }

    void runToEnd()
    {
        frame->runAnalysis();
        ASSERT_TRUE(waitFor([this] { return !frame->running(); }));
    }
};
