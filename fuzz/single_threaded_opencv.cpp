// Start-up of the targets whose inputs need nothing prepared: OpenCV's own
// thread pool is switched off, so every execution runs the same way.
#include <cstdint>

#include <opencv2/core.hpp>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cv::setNumThreads(1);
  return 0;
}
