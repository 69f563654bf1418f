#pragma once

#include <QString>

namespace Orvane {
namespace Zendral {
namespace Bench {

// The run's scratch folder under the system's temporary folder: every server
// the run starts keeps its settings, data, logs and binlog in there. The
// destructor removes it, and only it.
//
// Thread: main thread only.
class ScratchFolder
{
public:
    // Throws BenchFailure when the folder cannot be made.
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;

    QString Path() const { return path; }
    // Makes (with parents) and returns the folder `relative` inside it.
    QString Make(const QString &relative) const;
    // The file system the folder lies on, e.g. "ext4" (a tmpfs would make
    // every flush free and the durability numbers meaningless).
    QString FileSystemType() const;

private:
    // True when `path` is a folder this class made: a real folder (not a
    // link) named with the run's prefix, directly inside the temporary folder.
    bool IsOurs() const;

    QString path;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
