// Safe file writing. Each temporary gets its own name from mkstemp, so two runs that
// write the same file never share one: the last to finish puts its whole file in place.
// The names of the open temporaries live in a fixed table that a signal handler may read
// without taking a lock or allocating.
//
// A temporary is named TARGET.part.PID.HOST.XXXXXX: the process that writes it and a tag
// of its host, so that a later run on the same host can tell the leftovers of a killed
// run (whose process is gone) from a temporary another run is writing now. A target name
// too long for that suffix is cut in the temporary's name.
#include "support/safefile.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

constexpr int LINK_HOPS_MAX = 40;            // symbolic links followed from a path
constexpr char TEMPORARY_MARK[] = ".part.";    // between the target's name and the writer's
constexpr char TEMPORARY_UNIQUE[] = ".XXXXXX";  // filled in by mkostemp
constexpr size_t NAME_COMPONENT_MAX = 255;      // bytes of one name in a folder
constexpr mode_t DEFAULT_MODE = 0666;        // before the process's umask
constexpr mode_t FALLBACK_UMASK = 022;       // when /proc does not tell it

struct SafeFileState {
    char names[SAFE_FILE_SLOTS][SAFE_FILE_NAME_MAX];   // temporaries' names, by slot
    std::atomic<bool> used[SAFE_FILE_SLOTS];           // a slot's name is a live temporary
    std::mutex lock;                                   // taken to claim and free slots
};

SafeFileState safeFiles;

// The file a path finally refers to: a symbolic link is followed (a relative target from
// the link's folder), so that the rename replaces the link's target and the link stays.
// A path that is no link, and a loop of links, come back unchanged.
std::string finalTarget(const std::string& path)
{
    std::string current = path;
    for (int hops = 0; hops < LINK_HOPS_MAX; ++hops) {
        struct stat info;
        if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return current;
        std::string target(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
        const ssize_t length = readlink(current.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size())
            return path;
        target.resize(static_cast<size_t>(length));
        const size_t slash = current.find_last_of('/');
        if (target[0] != '/' && slash != std::string::npos)
            target = current.substr(0, slash + 1) + target;
        current = target;
    }
    return path;
}

// The process's umask, read without changing it (umask(2) can only be read by setting
// it, which would race with other threads creating files).
mode_t currentUmask()
{
    FILE* status = fopen("/proc/self/status", "r");
    if (!status)
        return FALLBACK_UMASK;
    char line[256];
    mode_t mask = FALLBACK_UMASK;
    while (fgets(line, sizeof line, status)) {
        if (strncmp(line, "Umask:", 6) == 0) {
            mask = static_cast<mode_t>(strtoul(line + 6, nullptr, 8));
            break;
        }
    }
    fclose(status);
    return mask;
}

// The permissions the new file gets: those of the file it replaces, else what a plain
// fopen would have given.
mode_t permissionsFor(const std::string& target)
{
    struct stat info;
    if (stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        return info.st_mode & 0777;
    return DEFAULT_MODE & ~currentUmask();
}

// Eight hex digits that stand for this host's name.
std::string hostTag()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        name[0] = '\0';
    uint32_t hash = 2166136261u;
    for (const char* c = name; *c; ++c)
        hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
    char tag[9];
    snprintf(tag, sizeof tag, "%08x", hash);
    return tag;
}

// The start of every temporary of target: its folder (with the slash) and its name, cut
// on a character boundary so that the whole temporary's name stays a legal name.
std::string temporaryStem(const std::string& target, size_t suffixBytes)
{
    const size_t slash = target.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t nameBytes = target.size() - nameStart;
    const size_t room = NAME_COMPONENT_MAX - suffixBytes;
    if (nameBytes > room) {
        nameBytes = room;
        // No UTF-8 sequence is split.
        while (nameBytes > 0 && (static_cast<unsigned char>(target[nameStart + nameBytes]) & 0xC0) == 0x80)
            --nameBytes;
    }
    return target.substr(0, nameStart + nameBytes) + TEMPORARY_MARK;
}

// Removes the temporaries of stem left by processes of this host that no longer run.
void removeDeadTemporaries(const std::string& stem, const std::string& host)
{
    const size_t slash = stem.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : stem.substr(0, slash + 1);
    const std::string prefix = slash == std::string::npos ? stem : stem.substr(slash + 1);
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (strncmp(name, prefix.c_str(), prefix.size()) != 0)
            continue;
        // PID.HOST.XXXXXX after the prefix, nothing else.
        const char* rest = name + prefix.size();
        char* end = nullptr;
        errno = 0;
        const long pid = strtol(rest, &end, 10);
        if (errno || end == rest || pid <= 0 || pid == getpid() || *end != '.' ||
            strncmp(end + 1, host.c_str(), host.size()) != 0 || end[1 + host.size()] != '.' ||
            strlen(end + 2 + host.size()) != sizeof TEMPORARY_UNIQUE - 2)
            continue;
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            unlinkat(dirfd(dir), name, 0);
    }
    closedir(dir);
}

// Opens a device or a pipe for writing without waiting: a pipe that no one reads fails
// at once instead of holding the run.
FILE* openSpecial(const std::string& target)
{
    const int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return nullptr;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    FILE* stream = fdopen(fd, "w");
    if (!stream) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return stream;
}

int claimSlot(const std::string& name)
{
    if (name.size() >= SAFE_FILE_NAME_MAX)
        return -1;
    std::lock_guard<std::mutex> guard(safeFiles.lock);
    for (int k = 0; k < SAFE_FILE_SLOTS; ++k) {
        if (safeFiles.used[k].load(std::memory_order_relaxed))
            continue;
        memcpy(safeFiles.names[k], name.c_str(), name.size() + 1);
        // The name is complete before a signal handler may see the slot as used.
        safeFiles.used[k].store(true, std::memory_order_release);
        return k;
    }
    return -1;
}

void releaseSlot(int slot)
{
    if (slot < 0)
        return;
    std::lock_guard<std::mutex> guard(safeFiles.lock);
    safeFiles.used[slot].store(false, std::memory_order_release);
}

// The reason a write failed. The error flag of a stream keeps no errno, and later calls
// may have changed errno: a file system with no free blocks left is told apart first.
int writeError(FILE* stream, int lastErrno)
{
    struct statvfs space;
    if (fstatvfs(fileno(stream), &space) == 0 && space.f_bavail == 0)
        return ENOSPC;
    // Likewise a file that has reached the process's file-size limit.
    struct rlimit limit;
    struct stat info;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        fstat(fileno(stream), &info) == 0 && (rlim_t)info.st_size >= limit.rlim_cur)
        return EFBIG;
    switch (lastErrno) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EIO:
    case EROFS:
    case EPIPE:
        return lastErrno;
    default:
        return EIO;
    }
}

void forget(SafeFile* file)
{
    releaseSlot(file->slot);
    file->slot = -1;
    file->stream = nullptr;
    file->temporary.clear();
}

}  // namespace

bool safeFileOpen(SafeFile* file, const std::string& path)
{
    file->stream = nullptr;
    file->slot = -1;
    file->error = 0;
    file->path = path;
    file->target = finalTarget(path);
    // A device or a pipe (/dev/null, a named pipe a reader waits on) cannot be replaced
    // by rename, and a temporary beside it would take its place: it is written directly.
    struct stat info;
    if (stat(file->target.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        if (S_ISDIR(info.st_mode)) {
            file->error = EISDIR;
            return false;
        }
        file->stream = openSpecial(file->target);
        if (!file->stream)
            file->error = errno;
        return file->stream != nullptr;
    }
    // A name longer than a folder allows could never be put in place.
    const size_t slash = file->target.find_last_of('/');
    if (file->target.size() - (slash == std::string::npos ? 0 : slash + 1) > NAME_COMPONENT_MAX) {
        file->error = ENAMETOOLONG;
        return false;
    }
    const std::string host = hostTag();
    const std::string writer = std::to_string(getpid()) + "." + host;
    const std::string stem = temporaryStem(file->target, sizeof TEMPORARY_MARK - 1 + writer.size() +
                                                             sizeof TEMPORARY_UNIQUE - 1);
    removeDeadTemporaries(stem, host);
    std::string pattern = stem + writer + TEMPORARY_UNIQUE;
    // The slot holds the pattern until mkstemp has filled in the name, so that no file
    // exists that the table does not know.
    file->slot = claimSlot(pattern);
    if (file->slot < 0) {
        file->error = pattern.size() >= SAFE_FILE_NAME_MAX ? ENAMETOOLONG : EMFILE;
        return false;
    }
    char* name = safeFiles.names[file->slot];
    const int fd = mkostemp(name, O_CLOEXEC);
    if (fd < 0) {
        file->error = errno;
        releaseSlot(file->slot);
        file->slot = -1;
        return false;
    }
    file->temporary = name;
    if (fchmod(fd, permissionsFor(file->target)) != 0) {
        // A file system without permissions (a FAT stick) keeps its own: not a failure.
    }
    file->stream = fdopen(fd, "w");
    if (!file->stream) {
        file->error = errno;
        close(fd);
        unlink(file->temporary.c_str());
        forget(file);
        return false;
    }
    return true;
}

bool safeFileCommit(SafeFile* file)
{
    if (!file->stream)
        return false;
    // errno is left as the last failed write set it: it is the likeliest reason.
    const bool flushed = fflush(file->stream) == 0 && !ferror(file->stream);
    if (!flushed && !file->error)
        file->error = writeError(file->stream, errno);
    // The data reaches the disk before the name does, so that a crash after the rename
    // cannot leave an empty file in place of the old one.
    if (flushed && !file->temporary.empty() && fsync(fileno(file->stream)) != 0 && errno != EINVAL &&
        !file->error)
        file->error = errno;
    if (fclose(file->stream) != 0 && !file->error)
        file->error = errno ? errno : EIO;
    file->stream = nullptr;
    if (file->temporary.empty())
        return file->error == 0;
    if (!file->error && rename(file->temporary.c_str(), file->target.c_str()) != 0)
        file->error = errno;
    if (file->error)
        unlink(file->temporary.c_str());
    forget(file);
    return file->error == 0;
}

void safeFileDiscard(SafeFile* file)
{
    if (!file->stream)
        return;
    fclose(file->stream);
    if (!file->temporary.empty())
        unlink(file->temporary.c_str());
    forget(file);
}

const char* safeFileReason(const SafeFile* file)
{
    // What opening a pipe without waiting says when no program reads from it.
    if (file->error == ENXIO)
        return "no program reads from this pipe";
    return strerror(file->error ? file->error : EIO);
}

std::string safeFileFullPath(const std::string& path)
{
    if (path.empty() || path[0] == '/')
        return path;
    char folder[PATH_MAX];
    if (!getcwd(folder, sizeof folder))
        return path;
    std::string full = folder;
    if (full.back() != '/')
        full += '/';
    return full + (path.compare(0, 2, "./") == 0 ? path.substr(2) : path);
}

void safeFileRemoveTemporaries()
{
    for (int k = 0; k < SAFE_FILE_SLOTS; ++k)
        if (safeFiles.used[k].load(std::memory_order_acquire))
            unlink(safeFiles.names[k]);
}

void safeFileEndBySignal(int signalNumber)
{
    signal(signalNumber, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signalNumber);
    _exit(128 + signalNumber);
}

int safeFileOpenCount()
{
    int count = 0;
    for (int k = 0; k < SAFE_FILE_SLOTS; ++k)
        count += safeFiles.used[k].load(std::memory_order_relaxed);
    return count;
}
