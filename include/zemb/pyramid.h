// A finished panorama rendered tile by tile (zemb::render_tiled), written
// through libvips as a DeepZoom image pyramid, and as one flat image too
// when it is small enough to open as one.
#ifndef ZEMB_PYRAMID_H
#define ZEMB_PYRAMID_H

#include <memory>
#include <string>
#include <vector>

#include "zemb/render.h"

namespace zemb {

// Writes FOLDER/NAME.dzi and its tiles FOLDER/NAME_files/ (JPEG, 254 pixels
// with a pixel of overlap, DeepZoom's usual layout), and FOLDER/NAME.png
// when the panorama holds at most `flat_max_megapixels`. The strips wait in
// a temporary file (the system's temporary folder, or TMPDIR) until the last
// one, so memory follows a strip and the disk holds the panorama once; the
// file is removed when the writer ends. A failure to write, or a NAME_files
// folder already there, throws cv::Exception (StsError) naming the path.
class PyramidWriter : public PanoramaSink {
 public:
  PyramidWriter(std::string folder, std::string name, double flat_max_megapixels);
  ~PyramidWriter() override;
  PyramidWriter(const PyramidWriter&) = delete;
  PyramidWriter& operator=(const PyramidWriter&) = delete;

  void begin(cv::Size size) override;
  void write(int top, const cv::Mat& strip) override;
  void end() override;

  // The paths written by end(): the .dzi, then the flat image when there is one.
  const std::vector<std::string>& written() const { return written_; }

 private:
  struct Staging;
  std::string folder_, name_;
  double flat_max_megapixels_;
  std::unique_ptr<Staging> staging_;
  std::vector<std::string> written_;
};

}  // namespace zemb

#endif  // ZEMB_PYRAMID_H
