// Safe file writing: a file is written under a unique temporary name in its own folder
// and takes its final name only once all of it has been written, flushed, synced and
// closed without an error. On any failure the temporary is removed and the old file of
// that name stays as it was. The listing, OUTPUT and POUTPUT files are written this way.
// A name that refers to a device or a pipe (/dev/null) is written directly, since
// nothing could be renamed over it; a pipe that no program reads fails at once.
// Temporaries carry the writer's process id: opening a file removes the temporaries of
// the same target left by processes of this host that have died (killed, say).
#pragma once

#include <cstdio>
#include <string>

constexpr int SAFE_FILE_SLOTS = 16;     // temporaries that may be open at once
constexpr int SAFE_FILE_NAME_MAX = 4096; // bytes of a temporary's name, terminator included

struct SafeFile {
    FILE* stream = nullptr;    // open on the temporary, null when none is open
    int slot = -1;             // its entry among the open temporaries, -1 when none
    int error = 0;             // errno of the first failure, 0 while there is none
    std::string path;          // the name the caller gave
    std::string target;        // the file that name finally refers to (links followed)
    std::string temporary;     // unique name in the target's folder while it is written
};

// Creates the temporary beside the file path refers to. False (error set, nothing
// created) when it cannot be made.
bool safeFileOpen(SafeFile* file, const std::string& path);

// Flushes, syncs and closes the temporary and renames it over the target. False (error
// set) when any step failed: the temporary is then gone and the old file unchanged.
bool safeFileCommit(SafeFile* file);

// Closes and removes the temporary; the old file stays.
void safeFileDiscard(SafeFile* file);

// The system's reason for the failure, as strerror gives it.
const char* safeFileReason(const SafeFile* file);

// The name as an absolute path, for messages (a relative name is joined to the
// current folder).
std::string safeFileFullPath(const std::string& path);

// Removes every temporary still open. Safe to call from a signal handler: it only reads
// a fixed table of names and calls unlink.
void safeFileRemoveTemporaries();

// Ends the process by signalNumber with its default action, from inside that signal's
// handler (the signal is unblocked for it), so that the parent sees how it ended.
[[noreturn]] void safeFileEndBySignal(int signalNumber);

// Temporaries open now.
int safeFileOpenCount();
