#include "JobOrder.h"

#include "NesterJob.h"

#include <algorithm>

namespace Orvane {
namespace Zendral {

JobOrder::JobOrder() = default;
JobOrder::~JobOrder() = default;

int JobOrder::LocateIndex(int index, int *block) const
{
    int start = 0;
    for (int b = 0; b < int(blocks.size()); ++b) {
        const int count = int(blocks[size_t(b)]->items.size());
        if (index < start + count || b + 1 == int(blocks.size())) {
            *block = b;
            return qBound(0, index - start, count);
        }
        start += count;
    }
    *block = 0;
    return 0;
}

int JobOrder::BlockStart(int block) const
{
    int start = 0;
    for (int b = 0; b < block; ++b)
        start += int(blocks[size_t(b)]->items.size());
    return start;
}

int JobOrder::OffsetIn(const Block *block, const NesterJob *job) const
{
    const auto it = std::find(block->items.begin(), block->items.end(), job);
    return int(it - block->items.begin());
}

NesterJob *JobOrder::At(int index) const
{
    if (index < 0 || index >= size)
        return nullptr;
    int b = 0;
    const int offset = LocateIndex(index, &b);
    return blocks[size_t(b)]->items[size_t(offset)];
}

int JobOrder::IndexOf(const NesterJob *job) const
{
    const Block *block = blockOf.value(job);
    return block ? BlockStart(block->index) + OffsetIn(block, job) : -1;
}

int JobOrder::WaitingPlace(const NesterJob *job) const
{
    const Block *block = blockOf.value(job);
    if (!block || !job->IsWaiting())
        return 0;
    int place = 1;
    for (int b = 0; b < block->index; ++b)
        place += blocks[size_t(b)]->waiting;
    for (const NesterJob *other : block->items) {
        if (other == job)
            return place;
        place += other->IsWaiting() ? 1 : 0;
    }
    return 0;
}

int JobOrder::FirstWaitingIndex() const
{
    int start = 0;
    for (const auto &block : blocks) {
        if (block->waiting > 0) {
            for (size_t i = 0; i < block->items.size(); ++i) {
                if (block->items[i]->IsWaiting())
                    return start + int(i);
            }
        }
        start += int(block->items.size());
    }
    return -1;
}

void JobOrder::Append(NesterJob *job)
{
    Insert(size, job);
}

void JobOrder::Insert(int index, NesterJob *job)
{
    if (!job || blockOf.contains(job))
        return;
    if (blocks.empty()) {
        blocks.push_back(std::make_unique<Block>());
        Renumber(0);
    }
    int b = 0;
    int offset = LocateIndex(qBound(0, index, size), &b);
    // Appending to a full last block starts a new one rather than splitting.
    if (offset == int(blocks[size_t(b)]->items.size()) && b + 1 == int(blocks.size())
        && offset >= 2 * BlockSize) {
        blocks.push_back(std::make_unique<Block>());
        Renumber(b + 1);
        ++b;
        offset = 0;
    }
    InsertInBlock(b, offset, job);
}

void JobOrder::InsertInBlock(int b, int offset, NesterJob *job)
{
    Block *block = blocks[size_t(b)].get();
    block->items.insert(block->items.begin() + offset, job);
    block->waiting += job->IsWaiting() ? 1 : 0;
    blockOf.insert(job, block);
    ++size;
    if (int(block->items.size()) > 2 * BlockSize)
        Split(b);
}

void JobOrder::Remove(NesterJob *job)
{
    Block *block = blockOf.value(job);
    if (!block)
        return;
    EraseFromBlock(block, OffsetIn(block, job));
    blockOf.remove(job);
}

void JobOrder::EraseFromBlock(Block *block, int offset)
{
    block->waiting -= block->items[size_t(offset)]->IsWaiting() ? 1 : 0;
    block->items.erase(block->items.begin() + offset);
    --size;
    const int b = block->index;
    if (block->items.empty()) {
        blocks.erase(blocks.begin() + b);
        Renumber(b);
    } else {
        MergeIfSmall(b);
    }
}

void JobOrder::Move(int from, int to)
{
    NesterJob *job = At(from);
    if (!job || from == to)
        return;
    Remove(job);
    Insert(to, job);
}

void JobOrder::Touch(const NesterJob *job)
{
    if (Block *block = blockOf.value(job))
        Recount(block);
}

void JobOrder::Replace(const NesterJob *job, NesterJob *replacement)
{
    Block *block = blockOf.value(job);
    if (!block || !replacement || job == replacement)
        return;
    block->items[size_t(OffsetIn(block, job))] = replacement;
    blockOf.remove(job);
    blockOf.insert(replacement, block);
    Recount(block);
}

void JobOrder::Clear()
{
    blocks.clear();
    blockOf.clear();
    size = 0;
}

QList<NesterJob *> JobOrder::ToList() const
{
    QList<NesterJob *> list;
    list.reserve(size);
    for (const auto &block : blocks)
        for (NesterJob *job : block->items)
            list.append(job);
    return list;
}

void JobOrder::Split(int b)
{
    Block *block = blocks[size_t(b)].get();
    auto next = std::make_unique<Block>();
    const auto middle = block->items.begin() + long(block->items.size() / 2);
    next->items.assign(middle, block->items.end());
    block->items.erase(middle, block->items.end());
    for (NesterJob *job : next->items)
        blockOf.insert(job, next.get());
    Recount(block);
    Recount(next.get());
    blocks.insert(blocks.begin() + b + 1, std::move(next));
    Renumber(b + 1);
}

// A block that shrank to a quarter is merged into a neighbour that has room,
// so that many removals do not leave a long list of tiny blocks.
void JobOrder::MergeIfSmall(int b)
{
    Block *block = blocks[size_t(b)].get();
    if (int(block->items.size()) >= BlockSize / 4)
        return;
    for (const int neighbour : {b - 1, b + 1}) {
        if (neighbour < 0 || neighbour >= int(blocks.size()))
            continue;
        Block *other = blocks[size_t(neighbour)].get();
        if (int(other->items.size() + block->items.size()) > 2 * BlockSize)
            continue;
        // Keep the earlier block; the later one's records join it.
        Block *keep = neighbour < b ? other : block;
        Block *gone = neighbour < b ? block : other;
        for (NesterJob *job : gone->items)
            blockOf.insert(job, keep);
        keep->items.insert(keep->items.end(), gone->items.begin(), gone->items.end());
        keep->waiting += gone->waiting;
        const int goneIndex = gone->index;
        blocks.erase(blocks.begin() + goneIndex);
        Renumber(goneIndex);
        return;
    }
}

void JobOrder::Renumber(int from)
{
    for (int b = qMax(0, from); b < int(blocks.size()); ++b)
        blocks[size_t(b)]->index = b;
}

void JobOrder::Recount(Block *block)
{
    block->waiting = 0;
    for (const NesterJob *job : block->items)
        block->waiting += job->IsWaiting() ? 1 : 0;
}

} // namespace Zendral
} // namespace Orvane
