#pragma once

#include <QString>

namespace Orvane {
namespace Zendral {

// Every setting of the service as a plain value, read once by
// ServiceSettings::Read(): defaults filled in, numbers clamped to their
// ranges, text trimmed. The key each member comes from is named beside it;
// the defaults and ranges live in ServiceSettings alone
// (ServiceSettings::Defaults() is this struct with every default).
//
// Thread: plain data; copy it to any thread.
struct ServiceConfig
{
    int port = 0;                     // worker/port
    int maxConnect = 0;               // worker/max_connect
    QString engine;                   // worker/engine (its default when empty)
    int nextUpdateSeconds = 0;        // worker/next_update_seconds
    int engineGraceSeconds = 0;       // worker/engine_grace_seconds
    int retryDelaySeconds = 0;        // worker/retry_delay_seconds
    int maxJobsPerClient = 0;         // worker/max_jobs_per_client (0: no limit)
    int minFreeDiskMb = 0;            // worker/min_free_disk_mb
    int maxFailedRuns = 0;            // worker/max_failed_runs
    int maxConnectPerAddress = 0;     // worker/max_connect_per_address
    int frameTimeoutSeconds = 0;      // worker/frame_timeout_seconds
    int idleTimeoutSeconds = 0;       // worker/idle_timeout_seconds
    int maxInflightMb = 0;            // worker/max_inflight_mb
    QString allowedClients;           // worker/allowed_clients, comma-separated
    int minUploadKbps = 0;            // worker/min_upload_kbps, KiB per second
    int maxSessions = 0;              // worker/max_sessions
    int maxUnsentMb = 0;              // worker/max_unsent_mb, all sessions together
    int maxWorkerCount = 0;           // maxWorkerCount
    int pickJobInterval = 0;          // config/pick_job_interval, seconds
    int autoUpdateInterval = 0;       // config/auto_update_interval, seconds
    QString language;                 // language; empty: the system's
    QString storeBackend;             // store/backend: "files" or "postgresql"
    QString storeConnection;          // store/connection, key=value pairs
    QString storePasswordFile;        // store/password_file
    int storeLeaseSeconds = 0;        // store/lease_seconds
    QString storeNode;                // store/node (the host name when empty)
    int storeInlineMaxKb = 0;         // store/inline_max_kb, KiB
    QString logLevel;                 // log/level: "info" or "debug"
    QString logFiles;                 // log/files: "true" or "false"
    QString adminSocket;              // admin/socket (empty: AdminSocketPath's default)
    int httpPort = 0;                 // http/port (0: no status page)
    QString httpListen;               // http/listen, an address
    QString httpAllowedClients;       // http/allowed_clients, comma-separated

    // Whether the queue is shared through PostgreSQL.
    bool SharedStore() const { return storeBackend == QLatin1String("postgresql"); }
    // Whether debug messages (the per-request lines) are logged.
    bool LogDebug() const { return logLevel == QLatin1String("debug"); }
    // Whether the log's day files are written.
    bool LogFiles() const { return logFiles != QLatin1String("false"); }
};

} // namespace Zendral
} // namespace Orvane
