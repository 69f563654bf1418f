#pragma once

#include <QString>

namespace Orvane {
namespace Zendral {

class PgConnection;

// The shared queue's tables, made and upgraded by the service itself: the
// table zendral_schema holds the version; the upgrades from it to the
// newest run in order, in one transaction, under a lock that lets only one
// node upgrade at a time.
//
// Tables (version 1):
// - zendral_jobs: one row per job, its place as `ord` (gaps of 1024), its
//   state, progress, the node that runs it with its run number and lease;
// - zendral_documents: each job's document in chunks of 1 MiB;
// - zendral_results: each job's current result document;
// - zendral_changes: the change log every node follows (op put/del/move,
//   the record JSON, the predecessor of a moved job);
// - zendral_nodes: the nodes' heartbeats and how far each has read the log;
// - zendral_meta: "pruned_below", the first change still in the log.
//
// Thread: the caller's, with a connection of its own.
class ClusterSchema
{
public:
    static constexpr int Version = 3;

    // Creates or upgrades the schema; false with *error when it failed (the
    // database is left as it was).
    static bool Prepare(PgConnection &connection, QString *error);
};

} // namespace Zendral
} // namespace Orvane
