// PyramidWriter: strips go line by line into a libvips temporary image
// (vips_image_write_line), which libvips reopens for reading once written;
// vips_dzsave then cuts the pyramid from it, streaming, and vips_pngsave
// writes the flat image.
#include "zemb/pyramid.h"

#include <filesystem>
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

}  // namespace

struct PyramidWriter::Staging {
  VipsImage* image = nullptr;
  int rows_written = 0;
  ~Staging() {
    if (image) g_object_unref(image);
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
  staging_ = std::make_unique<Staging>();
  staging_->image = vips_image_new_temp_file("%s.v");
  if (!staging_->image) vips_failed("no temporary file");
  vips_image_init_fields(staging_->image, size.width, size.height, 3, VIPS_FORMAT_UCHAR, VIPS_CODING_NONE,
                         VIPS_INTERPRETATION_sRGB, 1.0, 1.0);
  if (vips_image_write_prepare(staging_->image)) vips_failed("the temporary file cannot be written");
}

void PyramidWriter::write(int top, const cv::Mat& strip) {
  CV_Assert(staging_ && strip.type() == CV_8UC3 && strip.cols == staging_->image->Xsize);
  if (top != staging_->rows_written || top + strip.rows > staging_->image->Ysize)
    CV_Error(cv::Error::StsBadArg, "PyramidWriter: strips must come top to bottom, each once");
  cv::Mat rgb;
  cv::cvtColor(strip, rgb, cv::COLOR_BGR2RGB);
  for (int y = 0; y < rgb.rows; ++y)
    if (vips_image_write_line(staging_->image, top + y, rgb.ptr<VipsPel>(y)))
      vips_failed("a strip cannot be written to the temporary file");
  staging_->rows_written += strip.rows;
}

void PyramidWriter::end() {
  CV_Assert(staging_);
  VipsImage* image = staging_->image;
  if (staging_->rows_written != image->Ysize) CV_Error(cv::Error::StsBadArg, "PyramidWriter: rows are missing");
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
