#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace Orvane {
namespace Zendral {

// The operating-system calls the service makes, behind one small interface
// with one source file per platform (PlatformPosix.cpp, PlatformWindows.cpp;
// CMake picks one). No Qt here: paths are std::string in the file system's
// encoding (UTF-8 on Windows, converted to UTF-16 inside), numbers are plain.
//
// Thread: every function may be called from any thread; none keeps state,
// except where a caller-owned handle is passed in. SetUpChildBeforeExec runs
// in a forked child and calls only async-signal-safe functions.
namespace Platform {

// --- Files and folders ---------------------------------------------------

// Flushes an open file's data to stable storage. `fd` is a C runtime file
// descriptor (QFile::handle()). On failure *error gets the system's reason.
bool FlushFile(int fd, std::string *error);
// Flushes the file or folder at `path` to stable storage (for a folder: its
// entries, so that a new or renamed file in it survives a power cut).
// Windows flushes folder entries with their files: a folder returns true.
bool FlushPath(const std::string &path, bool folder);
// Whether SyncFileSystem is available (Linux: syncfs); elsewhere callers
// flush file by file with FlushPath.
bool HasFileSystemSync();
// Makes the C library read the local time zone once, at the first local
// time conversion, instead of checking /etc/localtime on every one (glibc
// does when TZ is unset: a stat and a global lock per conversion, which the
// job list's times multiply by the queue's length). A change of the
// system's time zone is then seen at the next start. Call at the start of
// main, before any thread exists (it sets an environment variable). Does
// nothing where TZ is set already, or where the system keeps its zone
// elsewhere (Windows).
void ReadTimeZoneOnce();
// Names the calling thread for the system's tools (ps, top, /proc; at most
// 15 characters on Linux). Does nothing where names are not supported.
void NameThisThread(const char *name);
// Leaves the process's asynchronous signals (SIGCHLD, SIGTERM, ...) to the
// main thread: called first in each thread the program starts itself, so
// that Qt's child-process and quit handlers never run in the middle of a
// worker's work (threads this one starts inherit it). Faults (SIGSEGV ...)
// stay with the thread that causes them. Nothing on Windows.
void KeepSignalsOffThisThread();
// Flushes everything written to the file system that holds `path` in one
// call; false on failure or where HasFileSystemSync() is false.
bool SyncFileSystem(const std::string &path);
// Replaces `to` by `from` in one step: afterwards `to` is the new file or
// still the old one, never missing or half-written.
bool AtomicReplace(const std::string &from, const std::string &to);
// Bytes available to this user on the file system holding `path`; -1 when
// that cannot be told (no such path).
int64_t FreeDiskBytes(const std::string &path);
// New files and folders of this process are its user's alone (0600/0700).
// Windows: nothing to do (the per-user data folder is private already).
void MakeNewFilesPrivate();
// Narrows an existing folder to its owner (0700); false when that fails.
// Windows: true (access follows the folder's ACL).
bool MakeFolderPrivate(const std::string &path);

// --- Machine and time ----------------------------------------------------

// The machine's physical memory in bytes; 0 when unknown.
int64_t PhysicalMemoryBytes();
// The local calendar time of `seconds` (thread-safe localtime).
std::tm LocalTime(std::time_t seconds);

// --- Child processes -----------------------------------------------------

int64_t CurrentProcessId();
// A group that ends its processes when the service closes it or dies
// (Windows: a job object with kill-on-close). Null where a child makes its
// own group (POSIX: SetUpChildBeforeExec) and on failure.
void *NewChildGroup();
void CloseChildGroup(void *group);
// Puts a started child into `group` (Windows); true when the child is tied
// to the service's life. POSIX: true (the child has done it itself).
bool AddToChildGroup(void *group, int64_t pid, std::string *error);
// In the forked child before exec: a process group of its own, and (Linux)
// killed when the service dies. Exits the child when the service `parentPid`
// has gone already. Async-signal-safe. Windows: not called (no fork).
void SetUpChildBeforeExec(int64_t parentPid);
// Ends a child and its group: `force` kills at once, else asks it to end
// (POSIX: SIGTERM to the group; Windows has no polite stop and ends the
// job). A pid <= 0 is ignored (it would reach the service's own group).
void EndChildGroup(void *group, int64_t pid, bool force);
// Kills a process by id, with its group where it leads one.
void KillProcess(int64_t pid);
// An identity mark of a running process (its start time), which tells a
// reused id apart; empty when it does not run or the system gives none.
std::string ProcessStartMark(int64_t pid);

// --- Sockets ---------------------------------------------------------------

// Closes a native socket that no socket object has taken over.
void CloseSocket(intptr_t socket);
// The numeric address of a connected socket's peer ("127.0.0.1", "::1");
// empty when the peer has gone.
std::string SocketPeerAddress(intptr_t socket);
// Waits up to `milliseconds` for a socket to become readable; true when it is.
bool WaitReadable(intptr_t socket, int milliseconds);
// Whether a connected socket's peer has reset or fully closed it, seen
// without reading (data waiting unread does not hide it). A peer that only
// ended its sending (a half close) has not gone: it may still wait for
// the answer.
bool PeerHasGone(intptr_t socket);

} // namespace Platform
} // namespace Zendral
} // namespace Orvane
