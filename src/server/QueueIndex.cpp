#include "QueueIndex.h"

#include "NesterJob.h"

#include <QFileInfo>

#include <algorithm>
#include <iterator>

namespace Orvane {
namespace Zendral {

// The owner delivers or drops the events before; what is left goes here.
QueueIndex::~QueueIndex()
{
    for (const Event &event : TakeEvents()) {
        if (event.kind == Event::Removed)
            delete event.job;
        if (event.kind == Event::Replaced)
            delete event.old;
    }
    qDeleteAll(Release());
}

OrderView QueueIndex::View(const NesterJob *job) const
{
    OrderView view;
    view.index = order.IndexOf(job);
    view.size = order.Size();
    view.firstWaiting = order.FirstWaitingIndex();
    view.waits = job->IsWaiting();
    view.previousWaits = view.index > 0 && order.At(view.index - 1)->IsWaiting();
    return view;
}

QString QueueIndex::Predecessor(const NesterJob *job) const
{
    const NesterJob *before = order.At(order.IndexOf(job) - 1);
    return before ? before->job_id : QString();
}

QStringList QueueIndex::FilesToKeep(const NesterJob *job) const
{
    const QString folder = QFileInfo(job->fileaex).absolutePath();
    QStringList keep;
    for (const NesterJob *other : byClient.value(job->from)) {
        if (other == job)
            continue;
        for (const QString &file : {other->fileaex, other->fileaexres}) {
            if (!file.isEmpty() && QFileInfo(file).absolutePath() == folder)
                keep << QFileInfo(file).absoluteFilePath();
        }
    }
    return keep;
}

QueueSnapshot QueueIndex::Snapshot() const
{
    QueueSnapshot copy;
    copy.reserve(order.Size());
    order.VisitFrom(0, [&copy](const NesterJob *job) {
        copy.append({job->stored, job->IsWaiting()});
        return true;
    });
    return copy;
}

namespace {

QueueIndex::Tally TallyOf(const NesterJob *job)
{
    if (job->IsFinished())
        return QueueIndex::Finished;
    if (job->IsFailed())
        return QueueIndex::Failed;
    if (job->IsHeld())
        return QueueIndex::Held;
    return job->IsRunning() ? QueueIndex::Running : QueueIndex::Waiting;
}

} // namespace

void QueueIndex::Tallied(const NesterJob *job)
{
    const Tally tally = TallyOf(job);
    tallied.insert(job, tally);
    ++counts[tally];
    if (job->IsHeld())
        held.insert(const_cast<NesterJob *>(job));
}

void QueueIndex::Untallied(const NesterJob *job)
{
    const auto it = tallied.find(job);
    if (it == tallied.end())
        return;
    --counts[it.value()];
    tallied.erase(it);
    held.remove(const_cast<NesterJob *>(job));
}

void QueueIndex::Insert(NesterJob *job, bool announce)
{
    Tallied(job);
    order.Append(job);
    byId.insert(job->job_id, job);
    byClient[job->from].insert(job);
    if (announce)
        Post({Event::Inserted, order.Size() - 1, 0, job});
}

void QueueIndex::TakeOut(NesterJob *job)
{
    const int row = order.IndexOf(job);
    Untallied(job);
    order.Remove(job);
    byId.remove(job->job_id);
    auto mine = byClient.find(job->from);
    if (mine != byClient.end()) {
        mine->remove(job);
        if (mine->isEmpty())
            byClient.erase(mine);
    }
    Post({Event::Removed, row, 0, job});
}

void QueueIndex::MoveTo(NesterJob *job, int to)
{
    const int from = order.IndexOf(job);
    if (from < 0 || from == to)
        return;
    order.Move(from, to);
    Post({Event::Moved, from, to, nullptr});
}

void QueueIndex::Changed(NesterJob *job)
{
    order.Touch(job);
    Untallied(job);
    Tallied(job);
    Post({Event::Changed, 0, 0, job});
}

void QueueIndex::Replace(NesterJob *old, NesterJob *job)
{
    const int row = order.IndexOf(old);
    Untallied(old);
    Tallied(job);
    order.Replace(old, job);
    byId.insert(job->job_id, job);
    auto mine = byClient.find(old->from);
    if (mine != byClient.end()) {
        mine->remove(old);
        if (mine->isEmpty())
            byClient.erase(mine);
    }
    byClient[job->from].insert(job);
    Event event{Event::Replaced, row, 0, job};
    event.old = old;
    Post(event);
}

// A put of a job that is there replaces its record; a move names the job
// the moved one now follows (empty: the head).
void QueueIndex::Apply(std::vector<QueueChange> &changes, bool reset)
{
    if (reset) {
        for (NesterJob *job : order.ToList())
            TakeOut(job);
    }
    for (QueueChange &change : changes) {
        NesterJob *job = Find(change.id);
        switch (change.kind) {
        case QueueChange::Put:
            if (!change.job)
                break;
            if (job)
                Replace(job, change.job);
            else
                Insert(change.job);
            change.job = nullptr; // the queue's now
            break;
        case QueueChange::Remove:
            if (job)
                TakeOut(job);
            break;
        case QueueChange::Move: {
            NesterJob *before = change.after.isEmpty() ? nullptr : Find(change.after);
            if (!job || (!change.after.isEmpty() && !before) || before == job)
                break;
            const int from = order.IndexOf(job);
            const int after = before ? order.IndexOf(before) : -1;
            MoveTo(job, after < from ? after + 1 : after);
            break;
        }
        }
    }
}

QList<NesterJob *> QueueIndex::Release()
{
    QList<NesterJob *> all = order.ToList();
    order.Clear();
    byId.clear();
    byClient.clear();
    tallied.clear();
    held.clear();
    std::fill(std::begin(counts), std::end(counts), 0);
    return all;
}

void QueueIndex::Post(const Event &event)
{
    std::lock_guard<std::mutex> locker(outboxMutex);
    outbox.push_back(event);
}

std::vector<QueueIndex::Event> QueueIndex::TakeEvents()
{
    std::vector<Event> events;
    std::lock_guard<std::mutex> locker(outboxMutex);
    events.swap(outbox);
    return events;
}

} // namespace Zendral
} // namespace Orvane
