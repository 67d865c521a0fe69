// Housekeeping of a stitcher's working directory: path joining, emptying a
// directory tree, and the test whether a directory can be opened.
//
// The emptying walk works relative to open directory descriptors instead of
// joined path strings. Each directory is entered with openat(O_NOFOLLOW) from
// its already open parent, so a symbolic link met anywhere in the tree - also
// one swapped in for a directory while the walk runs - is never followed, and
// no path ever grows beyond the length of one entry name.
#include "zemb_stitcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
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
// a new innermost level. Links and special files are left alone.
void handle_entry(std::vector<OpenLevel>& levels, const char* name) {
  const int dir_fd = dirfd(levels.back().stream.get());
  struct stat status;
  if (fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISREG(status.st_mode)) {
    unlinkat(dir_fd, name, 0);
  } else if (S_ISDIR(status.st_mode) && levels.size() < kMaxOpenLevels) {
    DirStream child = open_directory_at(dir_fd, name);
    if (child) levels.push_back({std::move(child), name});
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
  std::vector<OpenLevel> levels;
  levels.push_back({std::move(top), std::string()});
  while (!levels.empty()) {
    const dirent* entry = readdir(levels.back().stream.get());
    if (entry == nullptr)
      leave_level(levels);
    else if (!is_dot_or_dot_dot(entry->d_name))
      handle_entry(levels, entry->d_name);
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
