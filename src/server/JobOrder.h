#pragma once

#include <QHash>
#include <QList>

#include <memory>
#include <vector>

namespace Orvane {
namespace Zendral {

class NesterJob;

// The queue's order: the job records head first, with each waiting job's
// place among the waiting jobs at hand without walking the queue.
//
// The sequence is kept in blocks of at most 2 * BlockSize records, each
// block knowing how many of its records wait, so that an index, a record's
// index and its waiting place cost about n / BlockSize + BlockSize steps and
// no operation walks the whole queue. The records are not owned.
//
// A record's waiting state is read from the record; after changing a
// record's state call Touch so that its block's count follows.
//
// Thread: no lock of its own; the owner (the job queue) guards it with the
// queue mutex.
class JobOrder
{
public:
    static constexpr int BlockSize = 128;

    JobOrder();
    ~JobOrder();
    JobOrder(const JobOrder &) = delete;
    JobOrder &operator=(const JobOrder &) = delete;

    int Size() const { return size; }
    NesterJob *At(int index) const;
    // -1 when the record is not in the order.
    int IndexOf(const NesterJob *job) const;
    // 1 + the number of waiting records ahead of a waiting record; 0 for a
    // record that does not wait (or is not in the order).
    int WaitingPlace(const NesterJob *job) const;
    // The index of the first waiting record, or -1.
    int FirstWaitingIndex() const;

    void Append(NesterJob *job);
    void Insert(int index, NesterJob *job);
    void Remove(NesterJob *job);
    // As QList::move: the record at `from` ends up at index `to`.
    void Move(int from, int to);
    // The record's waiting state may have changed.
    void Touch(const NesterJob *job);
    // Puts `replacement` where `job` stands (a record replaced by a newer
    // copy of itself).
    void Replace(const NesterJob *job, NesterJob *replacement);
    void Clear();

    // The records in order (walks the whole order: for snapshots only).
    QList<NesterJob *> ToList() const;

    // Calls f(record) for the records from `index` on, in order, until f
    // returns false.
    template <typename F>
    void VisitFrom(int index, F f) const
    {
        int b = 0;
        int offset = LocateIndex(index, &b);
        for (; b < int(blocks.size()); ++b, offset = 0) {
            const auto &items = blocks[size_t(b)]->items;
            for (size_t i = size_t(offset); i < items.size(); ++i) {
                if (!f(items[i]))
                    return;
            }
        }
    }

private:
    struct Block
    {
        std::vector<NesterJob *> items;
        int waiting = 0;
        int index = 0; // position in `blocks`
    };

    // The block holding `index` (0..size) and the offset in it; index ==
    // size gives the end of the last block.
    int LocateIndex(int index, int *block) const;
    int BlockStart(int block) const;
    int OffsetIn(const Block *block, const NesterJob *job) const;
    void InsertInBlock(int block, int offset, NesterJob *job);
    void EraseFromBlock(Block *block, int offset);
    void Split(int block);
    void MergeIfSmall(int block);
    void Renumber(int from);
    static void Recount(Block *block);

    std::vector<std::unique_ptr<Block>> blocks;
    QHash<const NesterJob *, Block *> blockOf;
    int size = 0;
};

} // namespace Zendral
} // namespace Orvane
