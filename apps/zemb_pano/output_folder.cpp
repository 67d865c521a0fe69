#include "output_folder.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>

#include "pano_error.h"

namespace zemb_pano {

namespace {

namespace fs = std::filesystem;

PanoError output_error(const std::string& path, const std::string& cause) {
  return PanoError(kExitBadOutput, path + ": " + cause);
}

// A new, empty, hidden file in `folder`; `path` receives its name.
int create_temporary(const std::string& folder, std::string& path) {
  path = folder + "/.zemb_pano.XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) throw output_error(folder, std::string("cannot write files here: ") + std::strerror(errno));
  return fd;
}

void write_all(int fd, const std::vector<uchar>& bytes, const std::string& path) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) throw output_error(path, std::strerror(errno));
    done += static_cast<size_t>(written);
  }
}

// Temporary files not yet renamed into place; removed on every way out.
struct PendingFiles {
  std::vector<std::string> paths;
  ~PendingFiles() {
    for (const std::string& path : paths) ::unlink(path.c_str());
  }
};

std::string write_temporary(const std::string& folder, const std::vector<uchar>& bytes, PendingFiles& pending) {
  std::string path;
  const int fd = create_temporary(folder, path);
  pending.paths.push_back(path);
  ::fchmod(fd, 0644);  // mkstemp's 0600 would hide the results from other users
  try {
    write_all(fd, bytes, path);
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::close(fd) != 0) throw output_error(path, std::strerror(errno));
  return path;
}

}  // namespace

OutputFile png_file(std::string name, const cv::Mat& image) {
  OutputFile file{std::move(name), {}};
  if (!cv::imencode(".png", image, file.bytes)) throw PanoError(kExitFailure, "cannot encode a PNG image");
  return file;
}

OutputFolder::OutputFolder(std::string path) : path_(std::move(path)) {
  std::error_code error;
  const fs::file_status status = fs::status(path_, error);
  if (fs::exists(status) && !fs::is_directory(status)) throw output_error(path_, "not a folder");
  if (!fs::exists(status)) {
    created_ = fs::create_directory(path_, error);
    if (error) throw output_error(path_, "cannot create the folder: " + error.message());
  }
  std::string probe;
  ::close(create_temporary(path_, probe));
  ::unlink(probe.c_str());
}

OutputFolder::~OutputFolder() {
  if (created_ && !written_) ::rmdir(path_.c_str());
}

std::vector<std::string> OutputFolder::write(const std::vector<OutputFile>& files) {
  PendingFiles pending;
  std::vector<std::string> temporaries;
  for (const OutputFile& file : files) temporaries.push_back(write_temporary(path_, file.bytes, pending));
  std::vector<std::string> written;
  for (size_t i = 0; i < files.size(); ++i) {
    written.push_back(fs::absolute(fs::path(path_) / files[i].name).lexically_normal().string());
    if (std::rename(temporaries[i].c_str(), written.back().c_str()) != 0)
      throw output_error(written.back(), std::strerror(errno));
    written_ = true;
  }
  return written;
}

}  // namespace zemb_pano
