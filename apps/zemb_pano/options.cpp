#include "options.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include <opencv2/core.hpp>

#include "pano_error.h"
#include "settings.h"

namespace zemb_pano {

const char* const kUsage = R"(usage: zemb_pano INPUT... [-o OUTDIR] [options]

Stitches the frames of INPUT, in order, into one panorama and writes
OUTDIR/panorama.png (the whole canvas) and OUTDIR/cropped.png (the band that
every accepted frame covered). For the fixed stitcher, sweep the camera
toward the top edge of its frames; the sweep (--sweep, --finish) follows a
pan in any direction. INPUT is one of:
  a video file          any format OpenCV's video reader opens
  a folder of images    taken in name order; other files are ignored
  image files           one or more, taken in the order given

options:
  -o, --output OUTDIR   where the results go (default: the current folder);
                        created when missing (its parent must exist)
  --outlines            also write OUTDIR/outlines.png: the panorama with the
                        outline of every accepted frame drawn on it
  --every N             take one frame in N (the first, the N+1st, ...)
  --max-frames N        stop after N frames
  --sweep               stitch with the sweep instead of the fixed stitcher:
                        it keeps frames of soft scenes, recovers lost
                        tracking and keeps keyframes for --finish; its live
                        preview becomes panorama.png and cropped.png
  --finish              also write OUTDIR/finished.png: the keyframes
                        refined, exposure-compensated and blended, and
                        OUTDIR/finished_cropped.png: its largest rectangle
                        with no empty pixel. Photos (a folder or image
                        files) are stitched as one set: every photo matched
                        against every other, in any order, only the
                        finished panorama written, the photos left out
                        named with the reason; a video goes through the
                        sweep
  --sweep --finish      photos too go through the sweep, as a stream
  --pyramid             finish the sweep tile by tile at full detail instead
                        (implies --sweep --finish): OUTDIR/finished.dzi and
                        finished_files/, a DeepZoom image pyramid, and
                        OUTDIR/finished.png only
                        when the panorama holds at most
                        render.max_render_megapixels (tiles of
                        render.tile_size; reduced past
                        render.max_pyramid_megapixels)
  --viewer              also write OUTDIR/view.html, a page that shows the
                        result in a browser straight from the folder: a
                        360-degree viewer over a photo sphere (--surface
                        sphere), else a deep-zoom viewer over finished.dzi,
                        finished.png or panorama.png (the first written);
                        its scripts go into OUTDIR/viewer/
  --equirectangular IMAGE
                        with --viewer and no INPUT: write OUTDIR/view.html, a
                        360-degree viewer of IMAGE, an equirectangular JPEG
                        or PNG of the whole sphere (twice as wide as high),
                        which goes into OUTDIR/view_panorama.js
  --set NAME=VALUE      set one of the sweep's settings, named through its
                        groups (--set recovery.time_budget=4), to a number,
                        true or false, or a value's name (--set
                        render.seams=voronoi); given again for others; a
                        photo set's matching is set by photos.NAME
                        (--set photos.min_confidence=1.5)
  --options             list every setting --set takes: its value (the
                        default, or what --set gave), range and what it does
  --scene turning|flat  what the sweep models (--set scene=): a camera turning
                        about its centre (default) or a flat scene under a
                        moving camera
  --direction auto|right|left|up|down
                        which way the camera goes (--set direction=; default:
                        found from the first frames that move)
  --surface auto|plane|cylinder|sphere
                        what --finish projects a turning camera's keyframes
                        onto (--set render.surface=; default: a plane, or a
                        cylinder when the sweep reaches past 50 degrees either
                        side); sphere: the whole sphere, written as
                        OUTDIR/finished.jpg, a photo sphere (equirectangular,
                        with the metadata panorama viewers read) instead of
                        finished.png
  --keep-cols N         columns the keyframes are kept at for --finish
                        (--set memory.keep_columns=; default: the frames' own
                        width)
  --frames-csv FILE     write one line per frame to FILE: index, status,
                        count, time in ms, keyframe (1 or 0)
  -h, --help            show this help

The fixed stitcher needs frames of one size; the sweep scales a frame of
another size to the first one's when their proportions agree (photos of a
set), and gives photos all the time recovery needs, where a video's frames
get twice a placed frame's (unless --set recovery.time_budget says
otherwise). Progress goes to stderr, the summary to stdout. The results are
written only when the run succeeds.

exit codes:
  0  the panorama was written
  1  an unexpected failure
  2  a bad command line
  3  an input is missing, unreadable, not a video or image, a JPEG cut
     short, a folder has no images, or a frame differs in size from the
     first
  4  the output folder cannot be created or written
  5  no frame could be placed next to the first one, or the finished render
     could not place them (a photo set: no two photos join)

examples:
  zemb_pano data/life_sweep -o out
  zemb_pano holiday.mp4 --every 3 --outlines -o out
  zemb_pano holiday.mp4 --finish --frames-csv out/frames.csv -o out
  zemb_pano holiday.mp4 --finish --set render.blending=feather -o out
  zemb_pano survey.mp4 --pyramid --viewer -o out
  zemb_pano --viewer --equirectangular sphere.jpg -o out
  zemb_pano shots/IMG_0012.jpg shots/IMG_0013.jpg shots/IMG_0014.jpg
  zemb_pano shots/ --finish -o out
)";

namespace {

int positive_count(const std::string& option, const std::string& text) {
  size_t used = 0;
  long value = 0;
  try {
    value = std::stol(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < 1 || value > 1000000000)
    throw usage_error(option + " expects a positive whole number, got '" + text + "'");
  return static_cast<int>(value);
}

// --set photos.NAME=VALUE names a photo set's matching settings.
constexpr const char* kPhotoPrefix = "photos.";

// --set NAME=VALUE. A photo set's recovery keeps the time budget given here.
void set_assignment(Options& options, const std::string& assignment) {
  const size_t equals = assignment.find('=');
  if (equals == std::string::npos || equals == 0)
    throw usage_error("--set expects NAME=VALUE, got '" + assignment + "'");
  const std::string name = assignment.substr(0, equals);
  if (name.rfind(kPhotoPrefix, 0) == 0) {
    set_option(options.photo_matching, name.substr(std::strlen(kPhotoPrefix)), assignment.substr(equals + 1), name);
    return;
  }
  const void* set = set_option(options.sweep_options, name, assignment.substr(equals + 1), name);
  if (set == &options.sweep_options.recovery.time_budget) options.budget_stills = false;
}

// The options that stand for a setting: --scene for --set scene=...
const char* setting_of(const std::string& arg) {
  if (arg == "--scene") return "scene";
  if (arg == "--direction") return "direction";
  if (arg == "--surface") return "render.surface";
  if (arg == "--keep-cols") return "memory.keep_columns";
  return nullptr;
}

}  // namespace

bool as_photo_set(const Options& options, bool stills) { return stills && options.finish && !options.sweep_asked; }

zemb::PhotoSetOptions photo_set_options(const Options& options) {
  zemb::PhotoSetOptions photo_set;
  photo_set.scene = options.sweep_options.scene;
  photo_set.matching = options.photo_matching;
  photo_set.render = options.sweep_options.render;
  return photo_set;
}

Options parse_options(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const char* setting = setting_of(arg);
    const bool takes_value = arg == "-o" || arg == "--output" || arg == "--every" || arg == "--max-frames" ||
                             arg == "--set" || arg == "--frames-csv" || arg == "--equirectangular" ||
                             setting != nullptr;
    if (takes_value && i + 1 == args.size()) throw usage_error(arg + " needs a value");
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--options") {
      options.list_options = true;
    } else if (arg == "--outlines") {
      options.outlines = true;
    } else if (arg == "-o" || arg == "--output") {
      options.output_dir = args[++i];
    } else if (arg == "--every") {
      options.every = positive_count(arg, args[++i]);
    } else if (arg == "--max-frames") {
      options.max_frames = positive_count(arg, args[++i]);
    } else if (arg == "--sweep") {
      options.sweep = options.sweep_asked = true;
    } else if (arg == "--finish") {
      options.sweep = options.finish = true;
    } else if (arg == "--pyramid") {
      options.sweep = options.sweep_asked = options.finish = options.pyramid = true;
    } else if (arg == "--viewer") {
      options.viewer = true;
    } else if (arg == "--equirectangular") {
      options.equirectangular = args[++i];
    } else if (arg == "--set") {
      set_assignment(options, args[++i]);
    } else if (setting != nullptr) {
      set_option(options.sweep_options, setting, args[++i], arg);
    } else if (arg == "--frames-csv") {
      options.frames_csv = args[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw usage_error("unknown option " + arg);
    } else {
      options.inputs.push_back(arg);
    }
  }
  if (!options.equirectangular.empty()) {
    if (!options.viewer) throw usage_error("--equirectangular goes with --viewer");
    if (!options.inputs.empty()) throw usage_error("--equirectangular takes no INPUT");
  } else if (options.inputs.empty() && !options.help && !options.list_options) {
    throw usage_error("no INPUT given");
  }
  if (options.outlines && options.sweep) throw usage_error("--outlines goes with the fixed stitcher, not --sweep");
  try {
    options.sweep_options.check();
  } catch (const cv::Exception& e) {
    throw usage_error(e.err);
  }
  return options;
}

}  // namespace zemb_pano
