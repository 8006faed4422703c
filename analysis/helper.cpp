// The helper thread: a single task slot under a mutex, with one condition for a posted
// task (or the end) and one for a finished task. The thread sleeps between tasks: a
// wake-up costs some microseconds, a thread started per task tens of them.
#include "analysis/helper.h"
#include "solver/solver.h"

#include <condition_variable>
#include <mutex>
#include <pthread.h>

namespace {

struct HelperState {
    pthread_t thread;                   // the helper, while started
    bool started;                       // thread holds a thread not yet joined
    std::mutex lock;
    std::condition_variable posted;     // a task is posted, or quit is set
    std::condition_variable finished;   // the task taken has ended
    HelperTask task;                    // posted and not yet taken, or null
    void* argument;                     // the posted task's argument
    bool busy;                          // a task is posted or running
    bool quit;                          // the thread is to end
};

HelperState helper;

void* helperMain(void*)
{
    for (;;) {
        HelperTask task = nullptr;
        void* argument = nullptr;
        {
            std::unique_lock<std::mutex> guard(helper.lock);
            helper.posted.wait(guard, [] { return helper.task != nullptr || helper.quit; });
            if (!helper.task)
                return nullptr;
            task = helper.task;
            argument = helper.argument;
            helper.task = nullptr;
        }
        task(argument);
        {
            std::lock_guard<std::mutex> guard(helper.lock);
            helper.busy = false;
        }
        helper.finished.notify_one();
    }
}

}  // namespace

bool helperStart()
{
    if (helper.started)
        return true;
    helper.task = nullptr;
    helper.argument = nullptr;
    helper.busy = false;
    helper.quit = false;
    helper.started = pthread_create(&helper.thread, nullptr, helperMain, nullptr) == 0;
    // The solver's tall loops and Jacobians post to this thread; helperPost refuses once
    // it has stopped.
    static const SolverHelper services = {helperPost, helperCollect};
    solverSetHelper(&services);
    return helper.started;
}

void helperStop()
{
    if (!helper.started)
        return;
    {
        std::lock_guard<std::mutex> guard(helper.lock);
        helper.quit = true;
    }
    helper.posted.notify_one();
    pthread_join(helper.thread, nullptr);
    helper.started = false;
}

bool helperPost(HelperTask task, void* argument)
{
    // started and thread change only on the thread that starts and stops the helper,
    // which is the only one besides the helper that posts.
    if (!helper.started || pthread_equal(pthread_self(), helper.thread))
        return false;
    {
        std::lock_guard<std::mutex> guard(helper.lock);
        if (helper.busy)
            return false;
        helper.task = task;
        helper.argument = argument;
        helper.busy = true;
    }
    helper.posted.notify_one();
    return true;
}

bool helperCollect()
{
    std::unique_lock<std::mutex> guard(helper.lock);
    if (helper.task) {
        helper.task = nullptr;
        helper.busy = false;
        return false;
    }
    helper.finished.wait(guard, [] { return !helper.busy; });
    return true;
}
