#pragma once

#include "FloorJournal.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace Orvane {
namespace Zendral {
namespace Floor {

// A reference for the benchmark: what any durable queue that keeps a folder
// and a file per job can reach on this machine. It answers beanstalkd's
// "put" (the benchmark's client for beanstalkd drives it unchanged): the job
// gets a folder and a file under <root>/JOBS/<client address>/, as the
// service lays them out, its document goes into the journal, and the reply
// waits for the group commit that makes the record durable. The job files
// are not flushed. Nothing is parsed beyond the command line, nothing is
// checked, logged or listed.
//
// Threads: Run's thread accepts; each connection has a thread of its own
// (the service's model). `nextJob` is atomic; the journal locks itself.
class FloorServer
{
public:
    explicit FloorServer(const std::string &root);

    // Listens on address:port (port 0: any free one, printed on standard
    // output) and serves until the process ends; false when it cannot start.
    bool Run(const std::string &address, uint16_t port);

    // One connection until it closes (a thread of its own).
    void Serve(int connection);

private:
    // The job's folder and file, and its journal record; the reply's text.
    std::string Put(const std::string &clientFolder, const char *document, size_t size);

    std::string root;
    FloorJournal journal;
    std::atomic<uint64_t> nextJob{1};
};

} // namespace Floor
} // namespace Zendral
} // namespace Orvane
