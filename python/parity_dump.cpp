// The C++ side of the Python parity test: stitches the images of a folder,
// in name order, with ZembStitcher and writes OUTDIR/results.txt (one result
// per line), OUTDIR/panorama.png and OUTDIR/cropped.png.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <zemb_stitcher.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: zemb_parity_dump FRAME_FOLDER OUTDIR\n";
    return 2;
  }
  const std::string outdir = argv[2];
  std::vector<cv::String> names;
  cv::glob(std::string(argv[1]) + "/*.jpg", names, false);  // sorted
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
