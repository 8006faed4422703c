// The analysis's helper thread: one thread beside the analysis worker, started once per
// Run, to which the solver's linear algebra and the evaluations post work. One task at a
// time; a routine that cannot post (no helper, the helper busy, or the caller the helper
// itself) does the work on its own thread, so every poster has a serial path.
#pragma once

typedef void (*HelperTask)(void* argument);

// Starts the thread unless it runs already, and offers it to the solver; false when no
// thread could be made (the posters then always work alone).
bool helperStart();
// Ends the thread once the task it holds is finished. Every poster must have collected
// its task before.
void helperStop();

// Hands task(argument) to the helper. True when it was taken over: the caller must then
// collect it with helperCollect before it reads what the task writes or lets argument
// go. False when the caller has to run the task itself.
bool helperPost(HelperTask task, void* argument);
// Waits for the posted task to end. When the helper has not begun it yet, the task is
// withdrawn instead, without having run: false then (the caller runs what it still needs).
bool helperCollect();
