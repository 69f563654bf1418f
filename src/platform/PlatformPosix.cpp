// The platform interface on Linux and other Unix systems (POSIX calls).
#include "Platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace Orvane {
namespace Zendral {
namespace Platform {

namespace {

bool FsyncPath(const std::string &path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace

bool FlushFile(int fd, std::string *error)
{
#ifdef __linux__
    const bool ok = ::fdatasync(fd) == 0; // the data and the size, not the times
#else
    const bool ok = ::fsync(fd) == 0;
#endif
    if (!ok && error)
        *error = std::strerror(errno);
    return ok;
}

bool FlushPath(const std::string &path, bool folder)
{
    return FsyncPath(path, folder ? O_RDONLY | O_DIRECTORY : O_RDONLY);
}

// ":" + a path names the zone file to read; TZ=":/etc/localtime" is the
// zone the system uses, read once (Qt's QTimeZone takes it for the system
// zone as well).
void ReadTimeZoneOnce()
{
    struct stat info;
    if (!getenv("TZ") && stat("/etc/localtime", &info) == 0)
        setenv("TZ", ":/etc/localtime", 0);
}

bool HasFileSystemSync()
{
#ifdef __linux__
    return true;
#else
    return false;
#endif
}

void NameThisThread(const char *name)
{
#ifdef __linux__
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof shortName - 1);
    pthread_setname_np(pthread_self(), shortName);
#else
    (void)name;
#endif
}

void KeepSignalsOffThisThread()
{
    sigset_t set;
    sigfillset(&set);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS})
        sigdelset(&set, fault);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool SyncFileSystem(const std::string &path)
{
#ifdef __linux__
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::syncfs(fd) == 0;
    ::close(fd);
    return ok;
#else
    (void)path;
    return false;
#endif
}

bool AtomicReplace(const std::string &from, const std::string &to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
}

int64_t FreeDiskBytes(const std::string &path)
{
    // statvfs rather than a mount-table scan: this is asked on every upload.
    struct statvfs info;
    if (::statvfs(path.c_str(), &info) != 0)
        return -1;
    return int64_t(info.f_bavail) * int64_t(info.f_frsize);
}

void MakeNewFilesPrivate()
{
    ::umask(077);
}

bool MakeFolderPrivate(const std::string &path)
{
    return ::chmod(path.c_str(), 0700) == 0;
}

int64_t PhysicalMemoryBytes()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    return pages > 0 && pageSize > 0 ? int64_t(pages) * pageSize : 0;
}

std::tm LocalTime(std::time_t seconds)
{
    std::tm local{};
    ::localtime_r(&seconds, &local);
    return local;
}

int64_t CurrentProcessId()
{
    return int64_t(::getpid());
}

void *NewChildGroup()
{
    return nullptr; // the child makes its own group in SetUpChildBeforeExec
}

void CloseChildGroup(void *)
{
}

bool AddToChildGroup(void *, int64_t, std::string *)
{
    return true;
}

void SetUpChildBeforeExec(int64_t parentPid)
{
    ::setpgid(0, 0);
#ifdef __linux__
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The service may have died between fork and prctl: then nobody is left
    // to send the signal.
    if (int64_t(::getppid()) != parentPid)
        ::_exit(127);
#else
    (void)parentPid;
#endif
}

void EndChildGroup(void *, int64_t pid, bool force)
{
    if (pid <= 0) // kill(0 or -1, ...) would reach the service's group or everyone
        return;
    ::kill(-pid_t(pid), force ? SIGKILL : SIGTERM);
}

void KillProcess(int64_t pid)
{
    if (pid <= 0)
        return;
    ::kill(-pid_t(pid), SIGKILL); // its group, when it leads one
    ::kill(pid_t(pid), SIGKILL);
}

std::string ProcessStartMark(int64_t pid)
{
    if (pid <= 0)
        return std::string();
#ifdef __linux__
    // Field 22 of /proc/<pid>/stat: the start time in clock ticks since boot.
    // The command name (field 2) is in parentheses and may hold blanks.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!stat || !std::getline(stat, text))
        return std::string();
    const size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size())
        return std::string();
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    // After the name, field 3 (state) is index 0, so field 22 is index 19.
    for (int i = 0; i <= 19; ++i) {
        if (!(fields >> field))
            return std::string();
    }
    return field;
#else
    // Elsewhere only "runs" can be told; the id alone is the mark.
    return ::kill(pid_t(pid), 0) == 0 ? std::to_string(pid) : std::string();
#endif
}

void CloseSocket(intptr_t socket)
{
    ::close(int(socket));
}

std::string SocketPeerAddress(intptr_t socket)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof(storage);
    if (::getpeername(int(socket), reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return std::string();
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<sockaddr *>(&storage), length, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST)
        != 0)
        return std::string();
    return host;
}

bool WaitReadable(intptr_t socket, int milliseconds)
{
    pollfd wait{int(socket), POLLIN, 0};
    return ::poll(&wait, 1, milliseconds) > 0;
}

bool PeerHasGone(intptr_t socket)
{
    pollfd state{int(socket), POLLIN, 0};
    return ::poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR)) != 0;
}

} // namespace Platform
} // namespace Zendral
} // namespace Orvane
