#pragma once

#include <QString>

namespace Orvane {
namespace Zendral {

// Folder-tree copy and deletion for the update installation, which copies the
// installation into the temporary folder before the updater replaces it.
// Any thread; no shared state.

// Replaces the folder tree at target with a copy of the tree at source.
// False when the target folder cannot be made or an entry cannot be copied.
bool backup(const QString &source, const QString &target);

// Deletes the folder tree at path; true when nothing is left of it.
// Refuses (false) any path that is not strictly inside the temporary folder,
// and the root and home folders.
bool removeFolderTree(const QString &path);

// Whether removeFolderTree would accept path as a deletion target.
bool isSafeDeletionTarget(const QString &path);

} // namespace Zendral
} // namespace Orvane
