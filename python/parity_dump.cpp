// The C++ side of the Python parity tests. Stitches the images of a folder,
// in name order, and writes what it got into OUTDIR:
//   zemb_parity_dump FRAME_FOLDER OUTDIR           with ZembStitcher: results.txt
//                                                  (one result per line), panorama.png, cropped.png
//   zemb_parity_dump --photos PHOTO_FOLDER OUTDIR  with zemb::stitch_photos: placed.txt (the photos
//                                                  placed, one a line), finished.png
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <zemb/photos.h>
#include <zemb_stitcher.h>

namespace {

int stitch_frames(const std::vector<cv::String>& names, const std::string& outdir) {
  ZembStitcher stitcher(outdir + "/work");
  std::ofstream results(outdir + "/results.txt");
  for (const cv::String& name : names) {
    cv::Mat frame = cv::imread(name, cv::IMREAD_COLOR);
    results << stitcher.ofcheck_stitch(frame) << '\n';
  }
  const bool written = cv::imwrite(outdir + "/panorama.png", stitcher.panorama) &&
                       cv::imwrite(outdir + "/cropped.png", stitcher.cropped);
  return written && !names.empty() && results ? 0 : 1;
}

int stitch_photo_set(const std::vector<cv::String>& names, const std::string& outdir) {
  std::vector<cv::Mat> photos;
  for (const cv::String& name : names) photos.push_back(cv::imread(name, cv::IMREAD_COLOR));
  const zemb::PhotoPanorama result = zemb::stitch_photos(photos);
  std::ofstream placed(outdir + "/placed.txt");
  for (int photo : result.report.placed) placed << photo << '\n';
  return cv::imwrite(outdir + "/finished.png", result.finished.panorama) && placed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool photos = argc == 4 && std::string(argv[1]) == "--photos";
  if (argc != 3 && !photos) {
    std::cerr << "usage: zemb_parity_dump [--photos] FOLDER OUTDIR\n";
    return 2;
  }
  std::vector<cv::String> names;
  cv::glob(std::string(argv[argc - 2]) + "/*.jpg", names, false);  // sorted
  return photos ? stitch_photo_set(names, argv[argc - 1]) : stitch_frames(names, argv[argc - 1]);
}
