// The platform interface on Windows: Win32 and standard C++ only, so that it
// compiles without Qt (the tests compile it with MinGW-w64).
#include "Platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <io.h>

#include <string>

namespace Orvane {
namespace Zendral {
namespace Platform {

namespace {

// UTF-8 (the interface's encoding on Windows) to the UTF-16 the W calls take.
std::wstring Wide(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(size > 0 ? size : 0), L'\0');
    if (size > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &wide[0], size);
    return wide;
}

std::string Narrow(const wchar_t *text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string narrow(size_t(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(size_t(size - 1)); // without the terminating zero
    return narrow;
}

std::string LastError(const char *call)
{
    return std::string(call) + " failed: " + std::to_string(::GetLastError());
}

} // namespace

bool FlushFile(int fd, std::string *error)
{
    const HANDLE handle = HANDLE(::_get_osfhandle(fd));
    const bool ok = handle != INVALID_HANDLE_VALUE && ::FlushFileBuffers(handle) != 0;
    if (!ok && error)
        *error = LastError("FlushFileBuffers");
    return ok;
}

bool FlushPath(const std::string &path, bool folder)
{
    if (folder)
        return true; // folder entries are flushed with their files on Windows
    const HANDLE file = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = ::FlushFileBuffers(file) != 0;
    ::CloseHandle(file);
    return ok;
}

// Windows keeps the zone in the registry and reads it as it needs.
void ReadTimeZoneOnce()
{
}

bool HasFileSystemSync()
{
    return false;
}

// Thread descriptions need Windows 10 1607; the name only helps tools.
void NameThisThread(const char *)
{
}

void KeepSignalsOffThisThread()
{
}

bool SyncFileSystem(const std::string &)
{
    return false;
}

bool AtomicReplace(const std::string &from, const std::string &to)
{
    return ::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
        != 0;
}

int64_t FreeDiskBytes(const std::string &path)
{
    ULARGE_INTEGER available;
    if (!::GetDiskFreeSpaceExW(Wide(path).c_str(), &available, nullptr, nullptr))
        return -1;
    return int64_t(available.QuadPart);
}

void MakeNewFilesPrivate()
{
}

bool MakeFolderPrivate(const std::string &)
{
    return true;
}

int64_t PhysicalMemoryBytes()
{
    MEMORYSTATUSEX status;
    status.dwLength = sizeof(status);
    return ::GlobalMemoryStatusEx(&status) ? int64_t(status.ullTotalPhys) : 0;
}

std::tm LocalTime(std::time_t seconds)
{
    std::tm local{};
    ::localtime_s(&local, &seconds);
    return local;
}

int64_t CurrentProcessId()
{
    return int64_t(::GetCurrentProcessId());
}

// A job object that kills its processes when its last handle closes: the
// service holds the only handle, so the engine goes when the service goes.
void *NewChildGroup()
{
    const HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (!job)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        ::CloseHandle(job);
        return nullptr;
    }
    return job;
}

void CloseChildGroup(void *group)
{
    if (group)
        ::CloseHandle(HANDLE(group));
}

bool AddToChildGroup(void *group, int64_t pid, std::string *error)
{
    if (!group) {
        if (error)
            *error = "no job object";
        return false;
    }
    const HANDLE process = ::OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (!process) {
        if (error)
            *error = LastError("OpenProcess");
        return false;
    }
    const bool ok = ::AssignProcessToJobObject(HANDLE(group), process) != 0;
    if (!ok && error)
        *error = LastError("AssignProcessToJobObject");
    ::CloseHandle(process);
    return ok;
}

void SetUpChildBeforeExec(int64_t)
{
}

void EndChildGroup(void *group, int64_t pid, bool)
{
    if (pid <= 0)
        return;
    if (group)
        ::TerminateJobObject(HANDLE(group), 9);
    else
        KillProcess(pid);
}

void KillProcess(int64_t pid)
{
    if (pid <= 0)
        return;
    const HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (process) {
        ::TerminateProcess(process, 9);
        ::CloseHandle(process);
    }
}

std::string ProcessStartMark(int64_t pid)
{
    if (pid <= 0)
        return std::string();
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return std::string();
    FILETIME created, exited, kernel, user;
    DWORD code = 0;
    std::string mark;
    if (::GetExitCodeProcess(process, &code) && code == STILL_ACTIVE
        && ::GetProcessTimes(process, &created, &exited, &kernel, &user))
        mark = std::to_string((uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime);
    ::CloseHandle(process);
    return mark;
}

void CloseSocket(intptr_t socket)
{
    ::closesocket(SOCKET(socket));
}

std::string SocketPeerAddress(intptr_t socket)
{
    sockaddr_storage storage = {};
    int length = int(sizeof(storage));
    if (::getpeername(SOCKET(socket), reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return std::string();
    wchar_t host[NI_MAXHOST] = {};
    if (::GetNameInfoW(reinterpret_cast<sockaddr *>(&storage), length, host, NI_MAXHOST, nullptr, 0,
                       NI_NUMERICHOST)
        != 0)
        return std::string();
    return Narrow(host);
}

bool WaitReadable(intptr_t socket, int milliseconds)
{
    WSAPOLLFD wait = {};
    wait.fd = SOCKET(socket);
    wait.events = POLLRDNORM;
    return ::WSAPoll(&wait, 1, milliseconds) > 0;
}

bool PeerHasGone(intptr_t socket)
{
    WSAPOLLFD state = {};
    state.fd = SOCKET(socket);
    state.events = POLLRDNORM;
    return ::WSAPoll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR)) != 0;
}

} // namespace Platform
} // namespace Zendral
} // namespace Orvane
