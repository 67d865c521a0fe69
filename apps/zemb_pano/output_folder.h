// The folder the results go to. It is made ready before any frame is read,
// so that a run which could not write fails at once, and the results are
// written under temporary names and renamed only when all of them are
// complete, so that the folder never holds half a result.
#ifndef ZEMB_PANO_OUTPUT_FOLDER_H
#define ZEMB_PANO_OUTPUT_FOLDER_H

#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

namespace zemb_pano {

// A file to write: its name and its encoded bytes.
struct OutputFile {
  std::string name;
  std::vector<uchar> bytes;
};

// `image` encoded as PNG; PanoError (kExitFailure) when it cannot be.
OutputFile png_file(std::string name, const cv::Mat& image);

class OutputFolder {
 public:
  // Creates the folder when it is missing (its parent must exist) and checks
  // that files can be created in it; PanoError (kExitBadOutput) otherwise.
  explicit OutputFolder(std::string path);
  // A folder this object created and never wrote to is removed again.
  ~OutputFolder();
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  // Writes every file under its name; returns the paths written.
  std::vector<std::string> write(const std::vector<OutputFile>& files);

 private:
  std::string path_;
  bool created_ = false;
  bool written_ = false;
};

}  // namespace zemb_pano

#endif  // ZEMB_PANO_OUTPUT_FOLDER_H
