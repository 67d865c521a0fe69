#include "options.h"

#include <cstddef>
#include <string>
#include <utility>

#include <opencv2/core.hpp>

#include "pano_error.h"

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
  --finish              run the sweep and also write OUTDIR/finished.png: the
                        keyframes refined, exposure-compensated and blended
  --scene turning|flat  what the sweep models: a camera turning about its
                        centre (default) or a flat scene under a moving camera
  --direction auto|right|left|up|down
                        which way the camera goes (default: found from the
                        first frames that move)
  --surface auto|plane|cylinder
                        what --finish projects a turning camera's keyframes
                        onto (default: a plane, or a cylinder when the sweep
                        reaches past 50 degrees either side)
  --keep-cols N         columns the keyframes are kept at for --finish
                        (default: the frames' own width)
  --frames-csv FILE     write one line per frame to FILE: index, status,
                        count, time in ms, keyframe (1 or 0)
  -h, --help            show this help

The fixed stitcher needs frames of one size; the sweep scales a frame of
another size to the first one's when their proportions agree (photos of a
set), and gives photos all the time recovery needs, where a video's frames
get twice a placed frame's. Progress goes to stderr, the summary to
stdout. The results are written only when the run succeeds.

exit codes:
  0  the panorama was written
  1  an unexpected failure
  2  a bad command line
  3  an input is missing, unreadable, not a video or image, a folder has no
     images, or a frame differs in size from the first
  4  the output folder cannot be created or written
  5  no frame could be placed next to the first one

examples:
  zemb_pano data/life_sweep -o out
  zemb_pano holiday.mp4 --every 3 --outlines -o out
  zemb_pano holiday.mp4 --finish --frames-csv out/frames.csv -o out
  zemb_pano shots/IMG_0012.jpg shots/IMG_0013.jpg shots/IMG_0014.jpg
)";

namespace {

PanoError usage_error(const std::string& message) {
  return PanoError(kExitUsage, message + " (see --help)");
}

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

// The value `text` names among `names`, for `option`.
template <typename Value, std::size_t N>
Value named(const std::string& option, const std::string& text, const std::pair<const char*, Value> (&names)[N]) {
  std::string expected;
  for (std::size_t i = 0; i < N; ++i) {
    if (text == names[i].first) return names[i].second;
    expected += (i == 0 ? "" : i + 1 == N ? " or " : ", ") + std::string(names[i].first);
  }
  throw usage_error(option + " expects " + expected + ", got '" + text + "'");
}

const std::pair<const char*, zemb::Direction> kDirections[] = {
    {"auto", zemb::Direction::kAuto}, {"right", zemb::Direction::kRight}, {"left", zemb::Direction::kLeft},
    {"up", zemb::Direction::kUp},     {"down", zemb::Direction::kDown}};
const std::pair<const char*, zemb::Scene> kScenes[] = {{"turning", zemb::Scene::kTurning},
                                                       {"flat", zemb::Scene::kFlat}};
const std::pair<const char*, zemb::PanoramaSurface> kSurfaces[] = {{"auto", zemb::PanoramaSurface::kAuto},
                                                                   {"plane", zemb::PanoramaSurface::kPlane},
                                                                   {"cylinder", zemb::PanoramaSurface::kCylinder}};

}  // namespace

Options parse_options(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool takes_value = arg == "-o" || arg == "--output" || arg == "--every" || arg == "--max-frames" ||
                             arg == "--scene" || arg == "--direction" || arg == "--surface" ||
                             arg == "--keep-cols" || arg == "--frames-csv";
    if (takes_value && i + 1 == args.size()) throw usage_error(arg + " needs a value");
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--outlines") {
      options.outlines = true;
    } else if (arg == "-o" || arg == "--output") {
      options.output_dir = args[++i];
    } else if (arg == "--every") {
      options.every = positive_count(arg, args[++i]);
    } else if (arg == "--max-frames") {
      options.max_frames = positive_count(arg, args[++i]);
    } else if (arg == "--sweep") {
      options.sweep = true;
    } else if (arg == "--finish") {
      options.sweep = options.finish = true;
    } else if (arg == "--scene") {
      options.sweep_options.scene = named(arg, args[++i], kScenes);
    } else if (arg == "--direction") {
      options.sweep_options.direction = named(arg, args[++i], kDirections);
    } else if (arg == "--surface") {
      options.sweep_options.render.surface = named(arg, args[++i], kSurfaces);
    } else if (arg == "--keep-cols") {
      options.sweep_options.memory.keep_columns = positive_count(arg, args[++i]);
    } else if (arg == "--frames-csv") {
      options.frames_csv = args[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw usage_error("unknown option " + arg);
    } else {
      options.inputs.push_back(arg);
    }
  }
  if (options.inputs.empty() && !options.help) throw usage_error("no INPUT given");
  if (options.outlines && options.sweep) throw usage_error("--outlines goes with the fixed stitcher, not --sweep");
  try {
    options.sweep_options.check();
  } catch (const cv::Exception& e) {
    throw usage_error(e.err);
  }
  return options;
}

}  // namespace zemb_pano
