// Files replaced in one step. The new content is written beside the file under a temporary name
// (the file's name and ".new"), flushed to the disk, and moved onto the file with one replace
// (MoveFileEx with REPLACE_EXISTING and WRITE_THROUGH). A reader, this program's next run among
// them, sees the old content or the whole new one, never a part of it. A write that fails (disk
// full, access denied, the file held open by another program) throws Failure with the system's
// code; the file keeps its old content and the temporary file is removed.
//
// What it does not promise:
// - that the folder entry is on the disk once the call returns, on every file system: the move is
//   asked to write through, but some file systems keep the rename in memory a little longer;
// - that a process ended between the flush and the move leaves nothing behind: the temporary file
//   stays until the next write of the same file replaces it;
// - any order between files: a caller for which one matters (a seal after the file it vouches
//   for) writes them one after the other and stops at the first failure;
// - exclusion of other writers: two writers of one file at once each replace it whole, and the
//   last one wins.
#pragma once

#include <functional>
#include <string>

namespace kdht::platform {

// Writes all of `bytes` through an open file handle, in pieces of at most 1 MiB; throws Failure
// with the system's code, and ERROR_DISK_FULL for a write that takes nothing.
void WriteAllBytes(void* file, const std::string& bytes);

// The temporary name a file's new content is written under before it takes the file's place.
std::string TemporaryNameFor(const std::string& path);

// Removes what a write of `path` cut off by the end of its process left under the temporary
// name (nothing when there is none); for readers that may go without writing.
void RemoveLeftoverOf(const std::string& path);

// `path` holds exactly `bytes` afterwards, or (on a throw) what it held before.
void WriteFileInOneStep(const std::string& path, const std::string& bytes);

// `to` becomes a copy of `from`: copied under the temporary name in `to`'s folder (so the move
// never crosses volumes), flushed, then moved. A read-only `to` is refused (access denied), as
// the system's copy refuses it.
void CopyFileInOneStep(const std::string& from, const std::string& to);

// For files changed through other calls (the profile-string functions, which write in place):
// the file is copied under its temporary name (absent when the file is missing), `edit` changes
// that copy (its path is passed), and the copy then takes the file's place. When `edit` returns
// false the copy is dropped and the file stays as it was. Returns what `edit` returned.
bool EditFileInOneStep(const std::string& path, const std::function<bool(const std::string& copy)>& edit);

}  // namespace kdht::platform
