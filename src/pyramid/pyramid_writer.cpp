// PyramidWriter: tiles go, in libvips' channel order, to where their pixels
// lie in a temporary file of the panorama's raw pixels; at the end a libvips
// image whose pixels are read from that file on demand feeds vips_dzsave,
// which cuts the pyramid from it streaming, and vips_pngsave, which writes
// the flat image. Reading with pread rather than mapping the file keeps what
// libvips has read out of the process's memory once it is done with it.
#include "zemb/pyramid.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <mutex>

#include <opencv2/imgproc.hpp>
#include <vips/vips.h>

namespace zemb {

namespace {

[[noreturn]] void vips_failed(const std::string& what) {
  std::string message = "PyramidWriter: " + what + ": " + vips_error_buffer();
  vips_error_clear();
  CV_Error(cv::Error::StsError, message);
}

void start_vips() {
  static std::once_flag once;
  static int started = -1;
  std::call_once(once, [] { started = vips_init("zemb"); });
  if (started != 0) vips_failed("libvips did not start");
}

// A file made and unlinked at once: only its descriptor names it.
int unnamed_temporary_file() {
  std::string path = (std::filesystem::temp_directory_path() / "zemb-pyramid-XXXXXX").string();
  const int fd = mkstemp(path.data());
  if (fd < 0) CV_Error(cv::Error::StsError, "PyramidWriter: cannot make a temporary file in " + path);
  unlink(path.c_str());
  return fd;
}

// The whole of `size` bytes at `offset` through pread or pwrite, or false.
template <typename Transfer, typename Bytes>
bool transfer_fully(Transfer transfer, int fd, Bytes* data, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t done = transfer(fd, data, size, offset);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done, size -= std::size_t(done), offset += done;
  }
  return true;
}

}  // namespace

// The panorama's raw RGB pixels, row after row, in an unnamed file, and what
// of the row of tiles being written has come.
struct PyramidWriter::Staging {
  cv::Size size;
  int fd = -1;
  int row_top = 0, row_height = 0;  // the row of tiles being written
  std::map<int, int> row_spans;     // its tiles' columns: first -> past the last
  int row_columns = 0;              // how many columns of it have come
  VipsImage* image = nullptr;

  explicit Staging(cv::Size panorama) : size(panorama), fd(unnamed_temporary_file()), row_columns(panorama.width) {}
  ~Staging() {
    if (image) g_object_unref(image);
    close(fd);
  }

  off_t offset(int x, int y) const { return (off_t(y) * size.width + x) * 3; }

  // Takes `area` into the row of tiles it belongs to, or refuses it.
  void place(const cv::Rect& area) {
    const bool same_row = area.y == row_top && area.height == row_height;
    const bool next_row = area.y == row_top + row_height && row_columns == size.width;
    if ((area & cv::Rect(cv::Point(), size)) != area || (!same_row && !next_row))
      CV_Error(cv::Error::StsBadArg, "PyramidWriter: tiles must cover the panorama once, a row at a time, top to bottom");
    if (next_row) row_top = area.y, row_height = area.height, row_spans.clear(), row_columns = 0;
    const auto after = row_spans.lower_bound(area.x);
    const bool overlaps = (after != row_spans.end() && after->first < area.br().x) ||
                          (after != row_spans.begin() && std::prev(after)->second > area.x);
    if (overlaps) CV_Error(cv::Error::StsBadArg, "PyramidWriter: a tile covers pixels already written");
    row_spans.emplace(area.x, area.br().x);
    row_columns += area.width;
  }

  bool complete() const { return row_top + row_height == size.height && row_columns == size.width; }

  // libvips' generate callback: the region's pixels read from the file.
  static int read_pixels(VipsRegion* out, void* /*sequence*/, void* staging, void* /*unused*/, gboolean* /*stop*/) {
    const Staging& self = *static_cast<const Staging*>(staging);
    const VipsRect& r = out->valid;
    for (int y = r.top; y < r.top + r.height; ++y)
      if (!transfer_fully(pread, self.fd, VIPS_REGION_ADDR(out, r.left, y), std::size_t(r.width) * 3, self.offset(r.left, y))) {
        vips_error("PyramidWriter", "the temporary file cannot be read back");
        return -1;
      }
    return 0;
  }

  // The file as an sRGB libvips image, read a few rows at a time as asked.
  VipsImage* as_image() {
    image = vips_image_new();
    vips_image_init_fields(image, size.width, size.height, 3, VIPS_FORMAT_UCHAR, VIPS_CODING_NONE,
                           VIPS_INTERPRETATION_sRGB, 1.0, 1.0);
    if (vips_image_pipelinev(image, VIPS_DEMAND_STYLE_THINSTRIP, nullptr) ||
        vips_image_generate(image, nullptr, &Staging::read_pixels, nullptr, this, nullptr))
      vips_failed("the temporary file cannot be read as an image");
    return image;
  }
};

PyramidWriter::PyramidWriter(std::string folder, std::string name, double flat_max_megapixels)
    : folder_(std::move(folder)), name_(std::move(name)), flat_max_megapixels_(flat_max_megapixels) {
  if (name_.empty() || name_.find('/') != std::string::npos)
    CV_Error(cv::Error::StsBadArg, "PyramidWriter: the name must be a plain file name");
  start_vips();
}

PyramidWriter::~PyramidWriter() = default;

void PyramidWriter::begin(cv::Size size) {
  if (size.empty()) CV_Error(cv::Error::StsBadArg, "PyramidWriter: an empty panorama");
  const std::string tiles = folder_ + "/" + name_ + "_files";
  if (std::filesystem::exists(tiles)) CV_Error(cv::Error::StsError, "PyramidWriter: " + tiles + " is already there");
  staging_ = std::make_unique<Staging>(size);
}

void PyramidWriter::write(const cv::Rect& area, const cv::Mat& tile) {
  CV_Assert(staging_ && !tile.empty() && tile.type() == CV_8UC3 && tile.size() == area.size());
  staging_->place(area);
  cv::Mat rgb;
  cv::cvtColor(tile, rgb, cv::COLOR_BGR2RGB);
  for (int y = 0; y < rgb.rows; ++y)
    if (!transfer_fully(pwrite, staging_->fd, rgb.ptr(y), std::size_t(rgb.cols) * 3, staging_->offset(area.x, area.y + y)))
      CV_Error(cv::Error::StsError, std::string("PyramidWriter: the temporary file cannot be written: ") +
                                        std::strerror(errno));
}

void PyramidWriter::end() {
  CV_Assert(staging_);
  if (!staging_->complete()) CV_Error(cv::Error::StsBadArg, "PyramidWriter: tiles are missing");
  VipsImage* image = staging_->as_image();
  const std::string base = folder_ + "/" + name_;
  if (vips_dzsave(image, base.c_str(), "suffix", ".jpg[Q=90]", nullptr)) vips_failed("cannot write " + base + ".dzi");
  written_.push_back(base + ".dzi");
  if (double(image->Xsize) * image->Ysize <= flat_max_megapixels_ * 1e6) {
    if (vips_pngsave(image, (base + ".png").c_str(), "compression", 3, nullptr))
      vips_failed("cannot write " + base + ".png");
    written_.push_back(base + ".png");
  }
  staging_.reset();
}

}  // namespace zemb
