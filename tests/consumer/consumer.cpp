// A program of a library user: builds against the installed package only.
#include <zemb_stitcher.h>

#include <iostream>

int main() {
  ZembStitcher stitcher("");
  cv::Mat flat(360, 640, CV_8UC3, cv::Scalar(90, 90, 90));
  const int result = stitcher.ofcheck_stitch(flat);
  std::cout << "consumer: flat frame gives " << result << ", state " << stitcher.state << "\n";
  return result == 0 && stitcher.state == 3 ? 0 : 1;
}
