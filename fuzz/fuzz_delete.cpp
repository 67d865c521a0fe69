// deleteFile on a small tree built from the input inside a private temporary
// folder: files, folders, FIFOs, hard links and symbolic links pointing
// inside the tree, at a sibling folder of sentinels, at the temporary folder
// itself, or nowhere. deleteFile is only ever called on paths inside the
// tree. Afterwards the sentinels and the tree root must be intact, and the
// tree must be exactly what the documented walk leaves: below a directory
// every regular file gone, links and special files kept, and a directory
// kept only while it still holds one of them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "zemb_stitcher.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxEntries = 24;
const char kSentinelText[] = "must survive";

// relative path -> 'f' regular file, 'd' directory, 'l' symbolic link, 's' special file
using Listing = std::map<std::string, char>;

struct Sandbox {
  fs::path base, tree, outside;
  std::vector<fs::path> sentinels;
};

const Sandbox& sandbox() {
  static const Sandbox box = [] {
    std::string pattern = (fs::temp_directory_path() / "zemb-fuzz-delete.XXXXXX").string();
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    Sandbox made{pattern, fs::path(pattern) / "tree", fs::path(pattern) / "outside", {}};
    fs::create_directories(made.outside / "nested");
    for (const char* name : {"sentinel", "nested/sentinel"}) {
      made.sentinels.push_back(made.outside / name);
      std::ofstream(made.sentinels.back()) << kSentinelText;
    }
    return made;
  }();
  return box;
}

// The temporary folder goes when the run ends normally; after a finding it
// stays, as evidence. remove_all never follows the tree's links.
void remove_sandbox() {
  std::error_code ignored;
  fs::remove_all(sandbox().base, ignored);
}

char kind_of(const fs::file_status& status) {
  switch (status.type()) {
    case fs::file_type::regular: return 'f';
    case fs::file_type::directory: return 'd';
    case fs::file_type::symlink: return 'l';
    default: return 's';
  }
}

Listing list(const fs::path& root) {
  Listing listing;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
    listing[entry.path().lexically_relative(root).string()] = kind_of(entry.symlink_status());
  return listing;
}

std::string read_name(zemb_fuzz::ByteReader& input) {
  static const char kAlphabet[] = "abcxyz019 -._*\n\xff";
  const uint8_t length_choice = input.byte();
  const size_t length = length_choice >= 250 ? length_choice : 1 + length_choice % 6;  // up to NAME_MAX
  std::string name;
  for (size_t i = 0; i < length; ++i) name += kAlphabet[input.byte() % (sizeof kAlphabet - 1)];
  return name == "." || name == ".." ? name + "x" : name;
}

std::string link_target(zemb_fuzz::ByteReader& input, const std::vector<fs::path>& entries) {
  const Sandbox& box = sandbox();
  switch (input.byte() % 8) {
    case 0: return entries[input.byte() % entries.size()].string();
    case 1: return "..";
    case 2: return "../../outside";
    case 3: return box.outside.string();
    case 4: return box.sentinels[0].string();
    case 5: return (box.outside / "nested").string();
    case 6: return box.base.string();
    default: return "/nonexistent-zemb-fuzz-target";
  }
}

// Adds one entry below one of the directories made so far; a name already
// taken just makes the creation fail. O_EXCL keeps a file from being written
// through a link or into a FIFO of the same name.
void add_entry(zemb_fuzz::ByteReader& input, std::vector<fs::path>& directories, std::vector<fs::path>& entries) {
  const uint8_t kind = input.byte() % 8;
  const fs::path path = directories[input.byte() % directories.size()] / read_name(input);
  int made = -1;
  if (kind < 2) {
    made = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (made >= 0) close(made);
  } else if (kind < 4) {
    made = mkdir(path.c_str(), 0755);
    if (made == 0) directories.push_back(path);
  } else if (kind < 6) {
    made = symlink(link_target(input, entries).c_str(), path.c_str());
  } else if (kind == 6) {
    made = mkfifo(path.c_str(), 0644);
  } else {
    made = link(sandbox().sentinels[0].c_str(), path.c_str());
  }
  if (made >= 0) entries.push_back(path);
}

// Whether a directory's subtree, as listed before the call, holds an entry
// the walk must leave.
bool holds_kept_entry(const Listing& before, const std::string& directory) {
  const std::string prefix = directory + "/";
  for (const auto& [path, kind] : before)
    if ((kind == 'l' || kind == 's') && path.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

// The listing deleteFile must leave, `target` relative to the tree root ("."
// for the root itself).
Listing expected_after(const Listing& before, const std::string& target) {
  const auto found = before.find(target);
  const char target_kind = target == "." ? 'd' : (found == before.end() ? '-' : found->second);
  Listing expected = before;
  if (target_kind == 'f') expected.erase(target);
  if (target_kind != 'd') return expected;
  const std::string prefix = target == "." ? "" : target + "/";
  for (const auto& [path, kind] : before) {
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    if (kind == 'f' || (kind == 'd' && !holds_kept_entry(before, path))) expected.erase(path);
  }
  return expected;
}

bool sentinels_intact() {
  for (const fs::path& sentinel : sandbox().sentinels) {
    std::ifstream file(sentinel);
    std::string text;
    std::getline(file, text);
    if (text != kSentinelText) return false;
  }
  return list(sandbox().outside).size() == 3;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sandbox();
  std::atexit(remove_sandbox);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Sandbox& box = sandbox();
  zemb_fuzz::ByteReader input(data, size);
  fs::remove_all(box.tree);
  fs::create_directory(box.tree);
  std::vector<fs::path> directories{box.tree}, entries{box.tree};
  for (size_t i = input.byte() % kMaxEntries; i > 0 && !input.empty(); --i) add_entry(input, directories, entries);

  const fs::path target = entries[input.byte() % entries.size()];
  // Trailing slashes name the entry itself, a link included; "/." goes
  // through a link like any inner part of a path, so only a real directory
  // is spelled with it.
  static const char* const kSpellings[] = {"", "/", "//", "/."};
  const bool directory = fs::is_directory(fs::symlink_status(target));
  const std::string spelled = target.string() + kSpellings[input.byte() % (directory ? 4 : 3)];
  const std::string relative = target.lexically_relative(box.tree).string();
  const Listing before = list(box.tree);

  deleteFile(spelled.c_str());

  FUZZ_CHECK(sentinels_intact());
  FUZZ_CHECK(fs::is_directory(fs::symlink_status(box.tree)));
  FUZZ_CHECK(list(box.tree) == expected_after(before, relative));
  return 0;
}
