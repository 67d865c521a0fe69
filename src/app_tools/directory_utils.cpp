// Housekeeping of a stitcher's working directory: path joining, emptying a
// directory tree, and the test whether a directory can be opened.
//
// The emptying walk works relative to open directory descriptors instead of
// joined path strings. Each directory is entered with openat(O_NOFOLLOW) from
// its already open parent, so a symbolic link met anywhere in the tree - also
// one swapped in for a directory while the walk runs - is never followed, and
// no path ever grows beyond the length of one entry name.
//
// The walk stays on the mount it starts on. A file system mounted somewhere
// below the starting directory - another device, or a bind mount of a
// directory of the same file system, which shares its device number - is
// someone else's data: the mount point and everything below it stay.
#include "zemb_stitcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

// Directories held open at once by one walk, the top one included. The walk
// is iterative, so depth costs no stack, but every level keeps a descriptor
// and a stream buffer; subdirectories below this depth are left in place like
// any other entry that cannot be deleted. Far deeper than a working directory
// gets, far below the usual limit of 1024 descriptors per process.
constexpr size_t kMaxOpenLevels = 128;

struct DirCloser {
  void operator()(DIR* stream) const { closedir(stream); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

// A directory being emptied, and its name in the level above (empty for the
// directory the walk started from, which stays).
struct OpenLevel {
  DirStream stream;
  std::string name;
};

// Where an entry lives: its device, and the kernel's mount ID when the
// kernel reports one. Bind mounts of one file system share the device, so
// only the mount ID tells them apart; without it the device has to do.
struct MountIdentity {
  dev_t device = 0;
  uint64_t mount_id = 0;
  bool has_mount_id = false;

  bool same_mount(const MountIdentity& other) const {
    if (device != other.device) return false;
    return !has_mount_id || !other.has_mount_id || mount_id == other.mount_id;
  }
};

struct EntryStatus {
  mode_t mode;
  MountIdentity mount;
};

// The type and mount of `name` below `dir_fd` (of `dir_fd` itself for "" with
// AT_EMPTY_PATH), not following a symbolic link; nothing when it cannot be
// examined.
std::optional<EntryStatus> examine(int dir_fd, const char* name, int flags) {
  struct statx status;
  if (statx(dir_fd, name, flags | AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MNT_ID, &status) != 0) return std::nullopt;
  MountIdentity mount;
  mount.device = makedev(status.stx_dev_major, status.stx_dev_minor);
  mount.has_mount_id = (status.stx_mask & STATX_MNT_ID) != 0;
  mount.mount_id = mount.has_mount_id ? status.stx_mnt_id : 0;
  return EntryStatus{status.stx_mode, mount};
}

// Opens `name` below `parent_fd` as a directory stream, refusing a symbolic
// link; nullptr when that is not possible.
DirStream open_directory_at(int parent_fd, const char* name) {
  const int fd = openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* stream = fdopendir(fd);
  if (stream == nullptr) close(fd);
  return DirStream(stream);
}

// Compares inodes rather than spellings, so "//", "/." and "/tmp/.." count as
// the root too. When the root cannot be examined, every directory counts as
// the root: refusing is the safe side.
bool is_filesystem_root(int dir_fd) {
  struct stat root, dir;
  if (fstat(dir_fd, &dir) != 0 || stat("/", &root) != 0) return true;
  return dir.st_dev == root.st_dev && dir.st_ino == root.st_ino;
}

bool is_dot_or_dot_dot(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Deletes a regular file in the innermost level, or opens a subdirectory as
// a new innermost level. Links, special files and entries on another mount
// are left alone. An opened directory is examined again, so one mounted over
// between the two looks is left as well.
void handle_entry(std::vector<OpenLevel>& levels, const char* name, const MountIdentity& walk_mount) {
  const int dir_fd = dirfd(levels.back().stream.get());
  const auto entry = examine(dir_fd, name, 0);
  if (!entry || !entry->mount.same_mount(walk_mount)) return;
  if (S_ISREG(entry->mode)) {
    unlinkat(dir_fd, name, 0);
  } else if (S_ISDIR(entry->mode) && levels.size() < kMaxOpenLevels) {
    DirStream child = open_directory_at(dir_fd, name);
    if (!child) return;
    const auto opened = examine(dirfd(child.get()), "", AT_EMPTY_PATH);
    if (opened && opened->mount.same_mount(walk_mount)) levels.push_back({std::move(child), name});
  }
}

// Closes the innermost level and removes its directory from the level above;
// that fails silently when something in it could not be deleted.
void leave_level(std::vector<OpenLevel>& levels) {
  const std::string name = std::move(levels.back().name);
  levels.pop_back();
  if (!levels.empty()) unlinkat(dirfd(levels.back().stream.get()), name.c_str(), AT_REMOVEDIR);
}

// Entries are deleted while their directory is being read; the stream goes on
// with the entries not yet returned. A read error ends a level like its end.
void empty_directory(DirStream top) {
  const auto top_status = examine(dirfd(top.get()), "", AT_EMPTY_PATH);
  if (!top_status) return;
  const MountIdentity walk_mount = top_status->mount;
  std::vector<OpenLevel> levels;
  levels.push_back({std::move(top), std::string()});
  while (!levels.empty()) {
    const dirent* entry = readdir(levels.back().stream.get());
    if (entry == nullptr)
      leave_level(levels);
    else if (!is_dot_or_dot_dot(entry->d_name))
      handle_entry(levels, entry->d_name, walk_mount);
  }
}

// The path without trailing separators: "link/" names what the link points
// to, while "link" names the link itself, which must not be followed.
std::string without_trailing_separators(const char* path) {
  std::string trimmed(path);
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  return trimmed;
}

}  // namespace

void getFilePath(const char* dir_path, const char* entry_name, char* out_path) {
  if (out_path == nullptr) return;
  if (dir_path == nullptr || entry_name == nullptr) {
    out_path[0] = '\0';
    return;
  }
  const size_t dir_length = std::strlen(dir_path);
  const bool needs_separator = dir_length > 0 && dir_path[dir_length - 1] != '/';
  // memmove, so that a buffer holding the directory can receive the result.
  std::memmove(out_path, dir_path, dir_length);
  char* tail = out_path + dir_length;
  if (needs_separator) *tail++ = '/';
  std::strcpy(tail, entry_name);
}

void deleteFile(const char* path) {
  if (path == nullptr || path[0] == '\0') return;
  const std::string own_path = without_trailing_separators(path);
  struct stat status;
  if (lstat(own_path.c_str(), &status) != 0) return;
  if (S_ISREG(status.st_mode)) {
    unlink(own_path.c_str());
    return;
  }
  if (!S_ISDIR(status.st_mode)) return;
  DirStream top = open_directory_at(AT_FDCWD, own_path.c_str());
  if (!top || is_filesystem_root(dirfd(top.get()))) return;
  // Nothing here reports failures; running out of memory for the level list
  // just ends the walk, with every open stream closed on the way out.
  try {
    empty_directory(std::move(top));
  } catch (const std::bad_alloc&) {
  }
}

bool isFloderexit(const char* path) {
  if (path == nullptr) return false;
  DIR* stream = opendir(path);
  if (stream == nullptr) return false;
  closedir(stream);
  return true;
}
