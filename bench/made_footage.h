// Footage the real-footage benchmark makes for itself with the sweep maker,
// so that it runs on the project's data alone: photo sets cut from the
// full-sphere photos (25 to 50 % overlap, exposure that varies from photo to
// photo, one set of photos of different sizes), a sweep with a logo and a
// timestamp burned in, and a sweep over a sea and sky with almost nothing to
// track.
#ifndef ZEMB_MADE_FOOTAGE_H
#define ZEMB_MADE_FOOTAGE_H

#include <string>
#include <vector>

#include "footage.h"

namespace zemb_footage {

struct MadeFrom {
  std::string equirect_dir;  // bma_park.jpg, office_ambientcg.jpg
  std::string photo_dir;     // eveningglow.jpg
};

// What each made piece of footage is and how it was made, for the tables.
struct MadeFootage {
  Footage footage;
  std::string recipe;
};

// Writes every piece as a folder of JPEG files (quality 90) into `folder`
// (made if missing) and returns them in the order made. A photo that cannot
// be read or a frame that cannot be written: cv::Exception (StsError).
std::vector<MadeFootage> make_footage(const MadeFrom& sources, const std::string& folder);

}  // namespace zemb_footage

#endif  // ZEMB_MADE_FOOTAGE_H
