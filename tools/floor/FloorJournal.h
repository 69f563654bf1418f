#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace Orvane {
namespace Zendral {
namespace Floor {

// The least a durable journal with group commit can do: a record (its
// length, then its bytes) is written at the end of one file that is grown
// ahead of its records with written zeros, and a writer thread flushes
// whatever has been written since its last flush with one fdatasync. No
// checksum, no rotation, no compaction: the floor, not a store.
//
// Threads: Append from any thread; the writer thread flushes. `mutex` guards
// everything below it.
class FloorJournal
{
public:
    // Opens (creates) `path`; false with errno set when it cannot.
    bool Open(const std::string &path);
    ~FloorJournal();

    // Writes the record and returns once it is on stable storage; false when
    // the write or the flush failed.
    bool Append(const char *data, size_t size);

private:
    void Flush();
    bool GrowTo(uint64_t end);

    int fd = -1;
    std::thread writer;
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable flushed;
    uint64_t end = 0;       // the end of the records written
    uint64_t allocated = 0; // the end of the zeros written ahead
    uint64_t durable = 0;   // the end of the records flushed
    bool failed = false;
    bool stopping = false;
};

} // namespace Floor
} // namespace Zendral
} // namespace Orvane
