// The zemb_pano command line.
#ifndef ZEMB_PANO_OPTIONS_H
#define ZEMB_PANO_OPTIONS_H

#include <string>
#include <vector>

#include "zemb/options.h"
#include "zemb/photos.h"

namespace zemb_pano {

struct Options {
  std::vector<std::string> inputs;
  std::string output_dir = ".";
  bool outlines = false;
  int every = 1;       // take one frame in `every`
  int max_frames = 0;  // stop after this many frames; 0 for no limit
  bool sweep = false;   // through zemb::Sweep instead of ZembStitcher
  bool finish = false;  // also render the finished panorama (implies sweep, or a photo set)
  bool sweep_asked = false;  // --sweep (or --pyramid): photos go through the sweep as a stream even with --finish
  bool pyramid = false;  // render it tile by tile into an image pyramid (implies sweep and finish)
  bool viewer = false;   // also write view.html, a page that shows the result
  std::string equirectangular;  // --viewer --equirectangular IMAGE: a 360-degree page for IMAGE, no stitching
  std::string frames_csv;  // one line per frame goes here when set
  zemb::SweepOptions sweep_options;  // the defaults, with what --set and its shortcuts gave
  zemb::PhotoMatchOptions photo_matching;  // --set photos.NAME=VALUE
  // Photos get zemb::RecoveryOptions::kMostTimeBudget unless --set gave the
  // recovery's time budget.
  bool budget_stills = true;
  bool help = false;
  bool list_options = false;  // --options: print the sweep's settings and stop
};

// Photos (a folder or image files) with --finish and without --sweep are
// stitched as one set, not fed to the sweep as a stream.
bool as_photo_set(const Options& options, bool stills);

// The settings of a photo set: the matching --set photos.* gave, the scene
// and render the sweep's settings give.
zemb::PhotoSetOptions photo_set_options(const Options& options);

// Throws PanoError (kExitUsage) on a command line it cannot make sense of.
Options parse_options(const std::vector<std::string>& args);

extern const char* const kUsage;

}  // namespace zemb_pano

#endif  // ZEMB_PANO_OPTIONS_H
