#pragma once

#include "JobOrder.h"
#include "QueueRules.h"
#include "QueueStore.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <mutex>
#include <vector>

namespace Orvane {
namespace Zendral {

class NesterJob;

// The queue's records in memory: the order, the indexes by id and by
// client, and the events that tell the GUI thread of every change. Both
// stores keep it: the journal queue changes it and then records the change;
// a shared queue applies the database's change log to it (Apply).
//
// Threads: any. `mutex` guards the order, the indexes and the records'
// fields; it is held for each whole operation (callers take it), and no
// operation walks the whole queue while holding it. `outboxMutex` guards
// the events and is innermost. A record taken out is owned by its removal
// event until the GUI thread delivered it.
class QueueIndex
{
public:
    struct Event
    {
        enum Kind { Inserted, Removed, Moved, Changed, Replaced };
        Kind kind;
        int row = 0;
        int to = 0;
        NesterJob *job = nullptr; // Removed: owned by the event until delivered
        NesterJob *old = nullptr; // Replaced: owned by the event until delivered
    };

    QueueIndex() = default;
    ~QueueIndex();
    QueueIndex(const QueueIndex &) = delete;
    QueueIndex &operator=(const QueueIndex &) = delete;

    mutable std::mutex mutex;

    // The rest: mutex held.
    NesterJob *Find(const QString &job_id) const { return byId.value(job_id); }
    const JobOrder &Order() const { return order; }
    int ClientJobs(const QString &from) const { return byClient.value(from).size(); }
    QSet<NesterJob *> ClientRecords(const QString &from) const { return byClient.value(from); }
    // Where the job stands, as the move rule reads it.
    OrderView View(const NesterJob *job) const;
    // The job the record follows (empty: the head).
    QString Predecessor(const NesterJob *job) const;
    // Files of other records of the job's client that lie in its folder (the
    // old layout): they stay when the job's own files go.
    QStringList FilesToKeep(const NesterJob *job) const;
    // A copy of the stored records, head first.
    QueueSnapshot Snapshot() const;
    // The records per state as the operator names them (NesterJob::StateText),
    // kept as records change, so that counting never walks the queue.
    enum Tally { Waiting, Held, Running, Finished, Failed, TallyCount };
    int Count(Tally tally) const { return counts[tally]; }
    // The held records (for holds that run out).
    QList<NesterJob *> HeldJobs() const { return held.values(); }

    // A new record at the tail; announced unless it is restored at start-up.
    void Insert(NesterJob *job, bool announce = true);
    // Takes the record out; its removal event owns it.
    void TakeOut(NesterJob *job);
    void MoveTo(NesterJob *job, int to);
    // The record's fields changed (its waiting state, too).
    void Changed(NesterJob *job);
    // A newer record takes the old one's place; the old one lives until its
    // replacement has been delivered.
    void Replace(NesterJob *old, NesterJob *job);
    // Applies changes in order (with `reset`, they are the whole queue, head
    // first, and replace it); takes the records of the puts.
    void Apply(std::vector<QueueChange> &changes, bool reset);
    // Takes every record out of the queue without events (at the end).
    QList<NesterJob *> Release();

    // Any thread, with or without `mutex`: the events so far, in order.
    std::vector<Event> TakeEvents();

private:
    void Post(const Event &event);
    void Tallied(const NesterJob *job);
    void Untallied(const NesterJob *job);

    JobOrder order;
    QHash<QString, NesterJob *> byId;
    QHash<QString, QSet<NesterJob *>> byClient;
    QHash<const NesterJob *, Tally> tallied; // each record's tally as counted
    int counts[TallyCount] = {};
    QSet<NesterJob *> held;
    std::mutex outboxMutex;
    std::vector<Event> outbox; // guarded by outboxMutex
};

} // namespace Zendral
} // namespace Orvane
