#pragma once

#include "NesterJob.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

#include <functional>

namespace Orvane {
namespace Zendral {

// One change of the queue, as the journal records it and as a shared
// queue's change log carries it.
struct QueueChange
{
    enum Kind { Put, Remove, Move };

    Kind kind = Put;
    // Put: the job's record JSON (compact); the job is added at the tail if
    // it is new, else its record is replaced in place.
    QByteArray record;
    // Put applied to the queue in memory (a shared queue's change log): the
    // new, complete record, which the receiver takes.
    NesterJob *job = nullptr;
    // The job the change is about.
    QString id;
    // Move: the job it now follows; empty: the head of the queue.
    QString after;
    // Put of a new job: its job file, which (with its folder entry) must be
    // on stable storage before the change is, unless the change carries the
    // document (below).
    QString newFile;
    // Put of a new job with a small document: the document as standard
    // Base64 text (alphabet only), which the journal record carries. The
    // record alone makes the job durable; the job file is flushed later, and
    // a restore rewrites it from the record when it did not survive.
    QByteArray document;
    // False for changes no one waits for (progress): they may reach stable
    // storage with a later change.
    bool durable = true;
};

// One job of a copy of the queue, as the store keeps it: the record JSON
// (compact, "position" 0) and whether the job waits (the backup numbers the
// waiting jobs). The bytes are shared with the record, so a copy of the
// whole queue costs one reference per job.
struct StoredRecord
{
    QByteArray json;
    bool waiting = false;
};
using QueueSnapshot = QVector<StoredRecord>;

// Where the queue is kept across restarts. The queue (LocalServer) keeps
// the live records in memory and tells its store every change; the store
// makes the changes durable and restores the queue at start-up. The default
// store is a journal beside the queue backup (JournalStore); another
// backend (a database shared by several machines) fits the same shape.
//
// Threads: Load and Close on the queue's thread (GUI), when nothing else
// uses the queue. Record is called with the queue mutex held, in the order
// the changes are made (any thread). WaitDurable from any thread, without
// the queue mutex.
class QueueStore
{
public:
    // A copy of the queue's records, head first; called by the store with
    // the queue mutex held (from inside Record), for compaction.
    using SnapshotSource = std::function<QueueSnapshot()>;

    virtual ~QueueStore() = default;

    // Restores the queue: new records, head first, owned by the caller.
    virtual void Load(QList<NesterJob *> &jobs) = 0;
    virtual void SetSnapshotSource(SnapshotSource source) = 0;
    // Records a change; returns its ticket.
    virtual quint64 Record(const QueueChange &change) = 0;
    // A hint for group commit: a change is being prepared (a job file is
    // being written) and will be recorded soon, or was given up. A store may
    // hold a flush back a moment so that the change joins it.
    virtual void ExpectChange() {}
    virtual void ChangeGivenUp() {}
    // Waits until the change of `ticket` is on stable storage; false when it
    // could not be made so (it is then not part of the stored queue).
    [[nodiscard]] virtual bool WaitDurable(quint64 ticket) = 0;
    // Writes everything and leaves the store compact: the final state given
    // is what the next start restores.
    virtual void Close(const QueueSnapshot &finalState) = 0;
};

} // namespace Zendral
} // namespace Orvane
