#include "FloorJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace Orvane {
namespace Zendral {
namespace Floor {

namespace {
// As the service's journal: 4 MiB of zeros at a time, so that a record's
// fdatasync writes data alone, not the file's size and block map.
constexpr uint64_t GrowthStep = 4 * 1024 * 1024;

bool WriteAll(int fd, const char *data, size_t size, uint64_t offset)
{
    while (size > 0) {
        const ssize_t written = pwrite(fd, data, size, off_t(offset));
        if (written <= 0)
            return false;
        data += written;
        size -= size_t(written);
        offset += uint64_t(written);
    }
    return true;
}
} // namespace

bool FloorJournal::Open(const std::string &path)
{
    fd = open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 || !GrowTo(1) || fdatasync(fd) != 0)
        return false;
    writer = std::thread(&FloorJournal::Flush, this);
    return true;
}

FloorJournal::~FloorJournal()
{
    {
        std::lock_guard<std::mutex> locker(mutex);
        stopping = true;
    }
    work.notify_one();
    if (writer.joinable())
        writer.join();
    if (fd >= 0)
        close(fd);
}

// With `mutex` held.
bool FloorJournal::GrowTo(uint64_t needed)
{
    const std::vector<char> zeros(allocated < needed ? GrowthStep : 0);
    while (allocated < needed) {
        if (!WriteAll(fd, zeros.data(), zeros.size(), allocated))
            return false;
        allocated += GrowthStep;
    }
    return true;
}

bool FloorJournal::Append(const char *data, size_t size)
{
    std::unique_lock<std::mutex> locker(mutex);
    const uint32_t length = uint32_t(size);
    const uint64_t recordEnd = end + sizeof length + size;
    if (failed || !GrowTo(recordEnd) || !WriteAll(fd, reinterpret_cast<const char *>(&length), sizeof length, end)
        || !WriteAll(fd, data, size, end + sizeof length)) {
        return false;
    }
    end = recordEnd;
    work.notify_one();
    flushed.wait(locker, [&] { return durable >= recordEnd || failed; });
    return durable >= recordEnd;
}

// Writer thread: one fdatasync covers every record written before it.
void FloorJournal::Flush()
{
    std::unique_lock<std::mutex> locker(mutex);
    for (;;) {
        work.wait(locker, [&] { return stopping || end > durable; });
        if (stopping)
            return;
        const uint64_t covered = end;
        locker.unlock();
        const bool ok = fdatasync(fd) == 0;
        locker.lock();
        if (ok)
            durable = covered;
        else
            failed = true;
        flushed.notify_all();
    }
}

} // namespace Floor
} // namespace Zendral
} // namespace Orvane
