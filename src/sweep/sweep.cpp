// zemb::Sweep: the road of one frame (prepare, detect, start or track,
// recover, pose, show, record) and the record it leaves for the finished
// render. Frames stay upright: the live canvas grows in whichever direction
// the camera goes, on a cylinder for a turning camera and on a plane for a
// flat scene.
#include "zemb/sweep.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>

#include <opencv2/imgproc.hpp>

#include "sweep/background_links.h"
#include "sweep/keyframes.h"
#include "sweep/kept_images.h"
#include "sweep/links.h"
#include "sweep/overlay.h"
#include "sweep/preview.h"
#include "sweep/recovery.h"
#include "sweep/timing.h"
#include "sweep/tracking.h"

namespace zemb {

namespace {

// A sweep's direction is taken once it has moved this share of a frame.
constexpr double kDirectionShare = 0.1;

// Where the sweep stands, one value, changed in one place
// (Sweep::State::Tracking::after_frame).
enum class TrackingState {
  // No frame placed: the next frame with enough keypoints starts the sweep,
  // whatever its size.
  kNotStarted,
  // Frames placed, but the camera has not yet moved far enough to tell its
  // way: recovery guesses in every direction, and a turning sweep's live
  // canvas waits for its surface (the first frame is shown alone).
  kFindingWay,
  // The way known (found, or given by the options), and the last frame that
  // was tried placed.
  kTracking,
  // The last frame that was tried could be neither tracked nor recovered.
  // The next one is tracked against the last placed frame all the same, and
  // recovery goes on from where it stopped in its queue.
  kLost,
};

// The newest accepted frame that did not become a keyframe: the render
// takes it as a last keyframe, so that the finished panorama reaches as far
// as the preview. It keeps a copy of the camera frame, made into memory
// kept from frame to frame, and reduces it only when a render needs it.
struct Tail {
  cv::Mat camera_frame;
  View view;
  int frame_index = -1;
};

// The count that explains the outcome: the keypoints of a frame with too
// few or of the first frame, the tracked points of one that could not be
// placed, else the inliers.
int count_behind(const FrameStatus& status) {
  if (status.outcome == FrameOutcome::kTooFewKeypoints || status.tracked == 0) return status.keypoints;
  if (status.outcome == FrameOutcome::kNotPlaceable) return status.tracked;
  return status.inliers;
}

Direction direction_of(cv::Point2d moved) {
  if (std::abs(moved.x) >= std::abs(moved.y)) return moved.x > 0 ? Direction::kRight : Direction::kLeft;
  return moved.y > 0 ? Direction::kDown : Direction::kUp;
}

// The camera's way as a unit vector in frame pixels; zero while not known.
cv::Point2d unit_of(Direction direction) {
  switch (direction) {
    case Direction::kRight: return {1, 0};
    case Direction::kLeft: return {-1, 0};
    case Direction::kDown: return {0, 1};
    case Direction::kUp: return {0, -1};
    case Direction::kAuto: break;
  }
  return {0, 0};
}

// Tells the keyframes' links when a frame starts and ends, however it ends.
class FrameBeat {
 public:
  FrameBeat(BackgroundLinks& links, bool linking) : links_(linking ? &links : nullptr) {
    if (links_ != nullptr) links_->frame_started(BackgroundLinks::Clock::now());
  }
  ~FrameBeat() {
    if (links_ != nullptr) links_->frame_ended();
  }
  FrameBeat(const FrameBeat&) = delete;
  FrameBeat& operator=(const FrameBeat&) = delete;

 private:
  BackgroundLinks* links_;
};

// Frames are tracked at the first frame's size. A frame of another size
// (photos of a set seldom agree to the pixel) is scaled to it when its
// proportions are about the same; false when they are not.
bool fits_first(const cv::Mat& frame, cv::Size first, cv::Mat& fitted) {
  constexpr double kMostAspectChange = 0.1;
  if (frame.size() == first) return true;
  const double aspect = static_cast<double>(frame.cols) / frame.rows;
  const double first_aspect = static_cast<double>(first.width) / first.height;
  if (std::abs(aspect / first_aspect - 1.0) > kMostAspectChange) return false;
  cv::resize(frame, fitted, first, 0, 0, cv::INTER_AREA);
  return true;
}

// The focal length the field-of-view hint gives a working frame of `size`.
double focal_hint(double field_of_view, cv::Size size) {
  const double half_angle = field_of_view * CV_PI / 360.0;
  return std::max(size.width, size.height) * 0.5 / std::tan(half_angle);
}

// A cylinder turns about the axis across the way the camera goes.
Surface surface_for(Scene scene, Direction direction) {
  if (scene == Scene::kFlat) return Surface::kPlane;
  return direction == Direction::kUp || direction == Direction::kDown ? Surface::kLyingCylinder
                                                                      : Surface::kUprightCylinder;
}

// The live canvas's surface once the sweep's way is `way`: a flat scene's
// plane at once, a turning camera's cylinder once the way is known.
std::optional<Projection> surface_once(Scene scene, Direction way, const Pose& first_pose) {
  if (way == Direction::kAuto && scene == Scene::kTurning) return std::nullopt;
  return Projection(surface_for(scene, way), scene == Scene::kTurning ? first_pose.focal : 1.0);
}

// What placing a frame changes, all made before anything changes: the
// frame's view, the sweep's way after it, the surface it chooses (with the
// first frame on it) and its patch there, and whether it becomes a keyframe
// (with the image it keeps).
struct Placing {
  View view;
  Direction way = Direction::kAuto;
  std::optional<Projection> new_surface;
  Patch first_patch;
  Patch patch;
  bool keyframe = false;
  cv::Mat image;
};

}  // namespace

struct Sweep::State {
  State(std::string directory, const SweepOptions& settings)
      : options(settings),
        fast(cv::FastFeatureDetector::create(settings.detection.fast_threshold, true,
                                             cv::FastFeatureDetector::TYPE_9_16)),
        tracking(settings),
        overlay(settings.overlay),
        preview(settings.placement.max_canvas_side),
        keyframes(std::move(directory), settings.memory.budget_bytes) {}

  const SweepOptions options;
  cv::Ptr<cv::FastFeatureDetector> fast;  // the sweep's own

  // Where tracking stands, and what the next frame is tracked against.
  struct Tracking {
    explicit Tracking(const SweepOptions& options)
        : direction(options.direction), recovery(options.scene, options.tracking, options.recovery) {}
    bool way_known() const { return direction != Direction::kAuto; }
    void after_frame(bool placed);

    TrackingState state = TrackingState::kNotStarted;
    // The camera's way: kAuto until the sweep has moved far enough to tell
    // (unless the options give it). Recovery looks along it; a cylinder
    // turns across it; the band runs along it.
    Direction direction;
    View reference;       // the last placed frame
    cv::Size first_size;  // the first camera frame's: later frames are scaled to it
    int next_index = 0;   // the add() call of the next frame
    RunningMedian placed_seconds;  // what a placed frame takes: recovery's budget is counted in it
    RunningMedian placing_seconds;  // what a tracked frame takes once located: recovery leaves it
    Recovery recovery;
    // The reference is a keyframe taken up again (the overlay was found):
    // the frame placed against it keeps no step, as a recovered one.
    bool reanchored = false;
    int kept_run = 0;  // frames placed in a row by the motion kept from the frames before
  } tracking;

  // Content fixed in the frame: learnt from the first frames; once found,
  // keypoints are detected only off it (`scene_mask`, tracking-image size).
  OverlayFinder overlay;
  cv::Mat scene_mask;

  LivePreview preview;

  // The keyframes and what they keep, and the newest placed frame when it
  // is not one.
  struct Keyframes {
    Keyframes(std::string directory, std::size_t budget) : images(std::move(directory), budget) {}

    KeptImages images;
    std::vector<View> views;        // one per keyframe
    std::vector<Keyframe> entries;  // as the record gives them
    bool focal_settled = false;     // estimated from the keyframes, or given up on
    Tail tail;
    cv::Mat spare_frame;  // memory for the next tail's copy of its frame
  } keyframes;

  // Links are found on a thread of their own between frames (unless the
  // options say not to), else when they are first asked for (links(),
  // record()); never on a frame's road: a keyframe's frame costs what any
  // frame costs. Const readers may ask at once: the lock guards the lazy work.
  struct Links {
    std::mutex mutex;
    std::vector<KeyframeLink> found;
    std::size_t linked = 0;  // keyframes whose links to earlier ones are found
    BackgroundLinks background;
    // The links found so far, found on keyframes that have since changed
    // (their poses or their points): found again when next asked for.
    void forget() {
      const std::lock_guard<std::mutex> lock(mutex);
      found.clear();
      linked = 0;
      background.forget();
    }
  };
  mutable Links links;
  SweepCounts counts;

  void count(FrameStatus& status);
  void keep_out_overlay(cv::Size working_size);
  void place_plain(const cv::Mat& frame, const PreparedFrame& prepared, const std::vector<cv::KeyPoint>& keypoints,
                   FrameStatus& status);
  void start(const cv::Mat& frame, const PreparedFrame& prepared, const std::vector<cv::KeyPoint>& keypoints,
             FrameStatus& status);
  int64 track_and_place(const cv::Mat& frame, const PreparedFrame& prepared,
                        const std::vector<cv::KeyPoint>& keypoints, int64 start, FrameStatus& status);
  Candidate locate(const PreparedFrame& prepared, bool plain, int64 start);
  std::optional<Candidate> kept_motion(const Candidate& tracked) const;
  Placing plan(const cv::Mat& frame, const PreparedFrame& prepared, const std::vector<cv::KeyPoint>& keypoints,
               const Candidate& candidate);
  Direction way_after(const View& view) const;
  void commit(Placing placing, FrameStatus& status);
  bool show_on_new_surface(const Placing& placing, cv::Point2f& canvas_shift);
  void add_keyframe(View view, const cv::Mat& image);
  bool settle_focal(View& view);
  cv::Mat placement_on_canvas(const Pose& pose, bool shown) const;
  const std::vector<KeyframeLink>& all_links() const;
  std::vector<KeyframeLink> links_of(std::size_t earlier, const LinkEnd& later) const;
  void link_in_background(std::size_t index);
  void forget_links();
};

// The one place the tracking state changes: after a frame that was placed
// (the first, or one tracked or recovered), or one tried and lost. A frame
// refused before it was tried (too few keypoints, another shape) changes
// nothing.
void Sweep::State::Tracking::after_frame(bool placed) {
  if (!placed) {
    state = TrackingState::kLost;
    return;
  }
  state = way_known() ? TrackingState::kTracking : TrackingState::kFindingWay;
}

Sweep::Sweep(std::string directory, const SweepOptions& options) {
  options.check();
  state_ = std::make_unique<State>(std::move(directory), options);
}

Sweep::~Sweep() = default;
Sweep::Sweep(Sweep&&) noexcept = default;
Sweep& Sweep::operator=(Sweep&&) noexcept = default;

FrameStatus Sweep::add(const cv::Mat& camera_frame) {
  const int64 start = cv::getTickCount();
  State& s = *state_;
  const FrameBeat beat(s.links.background, s.options.keyframes.link_while_sweeping);
  check_frame(camera_frame, cv::Size(), "Sweep::add");
  FrameStatus status;
  const bool started = s.tracking.state != TrackingState::kNotStarted;
  cv::Mat frame = camera_frame;  // a header: only read
  if (started && !fits_first(camera_frame, s.tracking.first_size, frame)) {
    status.outcome = FrameOutcome::kNotPlaceable;
    s.count(status);
    return status;
  }
  const PreparedFrame prepared = prepare_upright(frame, s.options.preparation);
  const std::vector<cv::KeyPoint> keypoints =
      detect_adaptive(prepared.gray, s.options.detection, *s.fast, status.fast_threshold, s.scene_mask);
  status.keypoints = count_of(keypoints);
  int64 located = 0;  // when a tracked frame was located
  if (status.keypoints < s.options.detection.min_keypoints)
    s.place_plain(frame, prepared, keypoints, status);
  else if (!started)
    s.start(frame, prepared, keypoints, status);
  else
    located = s.track_and_place(frame, prepared, keypoints, start, status);
  // Learnt once the frame is through, so that a frame whose steps threw
  // leaves the overlay as it was; an overlay found now counts from the next.
  if (s.overlay.learn(prepared.gray)) s.keep_out_overlay(prepared.working.size());
  if (status.placed()) s.tracking.placed_seconds.add(seconds_since(start));
  if (status.placed() && located != 0) s.tracking.placing_seconds.add(seconds_since(located));
  s.count(status);
  return status;
}

void Sweep::State::count(FrameStatus& status) {
  status.count = count_behind(status);
  ++tracking.next_index;
  ++counts.frames;
  ++counts.by_outcome[static_cast<int>(status.outcome)];
}

// The overlay just found: from here on nothing is detected or described on
// it, and the views kept so far lose their points there. Until now its
// points may have held the chain still, so the next frame is tracked
// against the newest keyframe, predicted where the chain put the last
// placed frame.
void Sweep::State::keep_out_overlay(cv::Size working_size) {
  const cv::Mat& found = overlay.mask();
  scene_mask = found == 0;
  cv::Mat on_working;
  cv::resize(found, on_working, working_size, 0, 0, cv::INTER_NEAREST);
  tracking.recovery.describe_only(on_working == 0);
  for (View& view : keyframes.views) {
    view.points = outside(view.points, found);
    view.descriptions = Descriptions();
  }
  forget_links();
  keyframes.tail.view.points = outside(keyframes.tail.view.points, found);
  if (keyframes.views.empty()) return;
  View anchor = keyframes.views.back();
  anchor.step = later_to_earlier(anchor, tracking.reference, true);
  tracking.reference = std::move(anchor);
  tracking.reanchored = true;
}

// The first frame: the first keyframe, and the live canvas's start (laid on
// its surface at once when that is known: a plane, or a way the options give).
void Sweep::State::start(const cv::Mat& frame, const PreparedFrame& prepared,
                         const std::vector<cv::KeyPoint>& keypoints, FrameStatus& status) {
  const cv::Size size = prepared.working.size();
  const Pose pose = first_pose(options.scene, focal_hint(options.tracking.field_of_view, size), size);
  View view = make_view(prepared, keypoints, pose, cv::Matx33d::eye(), tracking.next_index);
  const cv::Mat image = keyframe_image_from(frame, options.memory);
  const std::optional<Projection> surface = surface_once(options.scene, tracking.direction, pose);
  const Patch first_patch = surface ? warp_to_canvas(prepared.working, pose, *surface, preview.max_side()) : Patch();
  preview.start(prepared.working, tracking.direction);
  const bool shown = surface && preview.choose_surface(*surface, first_patch, tracking.direction);
  preview.refresh(tracking.direction);
  tracking.first_size = frame.size();
  tracking.reference = view;
  add_keyframe(std::move(view), image);
  tracking.after_frame(true);
  status.outcome = FrameOutcome::kAccepted;
  status.keyframe = 0;
  status.on_preview = true;
  status.placement = placement_on_canvas(pose, shown);
}

// A flat scene's frame on the preview: working pixel -> preview pixel.
// Empty for a turning camera, whose frames a cylinder shows.
cv::Mat Sweep::State::placement_on_canvas(const Pose& pose, bool shown) const {
  if (!shown || options.scene != Scene::kFlat) return cv::Mat();
  const cv::Point origin = preview.origin();
  return cv::Mat(cv::Matx33d(1, 0, -origin.x, 0, 1, -origin.y, 0, 0, 1) * pose.to_world);
}

// Tracks the frame and places it when it was found; when it was located
// (a cv::getTickCount() reading), or 0 when it was not found.
int64 Sweep::State::track_and_place(const cv::Mat& frame, const PreparedFrame& prepared,
                                    const std::vector<cv::KeyPoint>& keypoints, int64 start, FrameStatus& status) {
  // The detector had to lower its threshold: the scene is plain here.
  const bool plain = status.fast_threshold < options.detection.fast_threshold;
  const Candidate candidate = locate(prepared, plain, start);
  const int64 located = cv::getTickCount();
  status.tracked = candidate.tracked;
  status.inliers = candidate.inliers;
  if (!candidate.found) {
    status.outcome = FrameOutcome::kNotPlaceable;
    tracking.after_frame(false);
    return 0;
  }
  commit(plan(frame, prepared, keypoints, candidate), status);
  status.outcome = candidate.recovered ? FrameOutcome::kRelocalised : FrameOutcome::kAccepted;
  status.recovered_from = candidate.keyframe;
  status.kept_motion = candidate.kept;
  tracking.kept_run = candidate.kept ? tracking.kept_run + 1 : 0;
  return located;
}

// A frame with too few keypoints while the sweep is tracking: open sea or
// sky, placed by the shift phase correlation measures against the last
// placed frame; or a dark or washed-out frame, which correlates with
// nothing and is refused as having too few keypoints, changing nothing.
void Sweep::State::place_plain(const cv::Mat& frame, const PreparedFrame& prepared,
                               const std::vector<cv::KeyPoint>& keypoints, FrameStatus& status) {
  status.outcome = FrameOutcome::kTooFewKeypoints;
  if (tracking.state != TrackingState::kTracking && tracking.state != TrackingState::kFindingWay) return;
  const Candidate measured = correlate_shift(tracking.reference, prepared, scene_mask, options.tracking);
  if (!measured.found || !plausible_step(measured.relative, prepared.working.size(), options.tracking)) return;
  commit(plan(frame, prepared, keypoints, measured), status);
  status.outcome = FrameOutcome::kAccepted;
  tracking.kept_run = 0;
}

// The motion the last placed frame had, kept for this frame: while the
// sweep is tracking, along a step that was fitted or measured, for at most
// max_kept_frames in a row, and only when the flow still followed the
// points (after a jump it loses most of them, and recovery must search).
std::optional<Candidate> Sweep::State::kept_motion(const Candidate& tracked) const {
  if (tracking.state != TrackingState::kTracking || tracking.kept_run >= options.tracking.max_kept_frames ||
      tracking.reference.step == cv::Matx33d::eye() || tracked.tracked < options.tracking.min_inliers)
    return std::nullopt;
  Candidate kept = tracked;
  kept.relative = tracking.reference.step;
  kept.found = true;
  kept.kept = true;
  return kept;
}

// Tracks the frame against the last placed one; when that fails, recovers
// within the time left of the frame's budget, less what placing the frame
// takes: from the start of recovery's queue when the sweep was not lost,
// else from where the last lost frame left it. A trustworthy candidate, or
// one not found.
Candidate Sweep::State::locate(const PreparedFrame& prepared, bool plain, int64 start) {
  Candidate candidate = track_moving(tracking.reference, prepared, options.scene, options.tracking);
  const cv::Size size = prepared.working.size();
  // A fit that a clump or a line of points holds is mostly noise, and where
  // the scene is plain a failed fit is no sign that the camera jumped: the
  // shift phase correlation measures, else the last frames' motion, places
  // such a frame better than the fit or a search.
  const bool fitted = trustworthy(candidate, tracking.reference, options.tracking);
  if (fitted && well_conditioned(candidate, size, options.tracking)) return candidate;
  if (fitted || plain) {
    const Candidate measured = correlate_shift(tracking.reference, prepared, scene_mask, options.tracking);
    if (measured.found && plausible_step(measured.relative, size, options.tracking)) return measured;
    if (const std::optional<Candidate> kept = kept_motion(candidate)) return *kept;
    if (fitted) return candidate;
  }
  candidate.found = false;
  if (!options.recovery.enabled) return candidate;
  if (tracking.state != TrackingState::kLost) tracking.recovery.reset();
  // Before any frame was placed, the budget is measured by this frame's own tracking.
  const double median = tracking.placed_seconds.median();
  const double typical = median > 0 ? median : seconds_since(start);
  RecoveryTime time;
  time.whole = options.recovery.time_budget * typical;
  time.left = time.whole - seconds_since(start) - tracking.placing_seconds.median();
  Candidate recovered =
      tracking.recovery.run(tracking.reference, keyframes.views, prepared, unit_of(tracking.direction), time);
  return recovered.found ? recovered : candidate;
}

// The camera's way once `view` is placed: found once the sweep has moved
// far enough from its first frame to tell.
Direction Sweep::State::way_after(const View& view) const {
  const View& first = keyframes.views.front();
  if (tracking.way_known() || progress(first, view) < kDirectionShare) return tracking.direction;
  return direction_of(camera_motion(later_to_earlier(first, view, true), view.working_size));
}

// Everything that can fail on a placed frame's road (the warps onto the
// live canvas, its kept image or the copy of it), before anything changes.
Placing Sweep::State::plan(const cv::Mat& frame, const PreparedFrame& prepared,
                           const std::vector<cv::KeyPoint>& keypoints, const Candidate& candidate) {
  const View& found_in =
      candidate.keyframe < 0 ? tracking.reference : keyframes.views[std::size_t(candidate.keyframe)];
  const Pose pose =
      pose_from(options.scene, found_in.pose, candidate.relative, found_in.working_size, prepared.working.size());
  Placing placing;
  placing.view = make_view(prepared, keypoints, pose, found_in.chain * candidate.relative, tracking.next_index);
  placing.view.descriptions = candidate.frame_descriptions;
  if (!candidate.recovered && !tracking.reanchored) placing.view.step = candidate.relative;
  placing.way = way_after(placing.view);
  std::optional<Projection> surface = preview.projection();
  if (!surface) {
    const Pose& first = keyframes.views.front().pose;
    placing.new_surface = surface = surface_once(options.scene, placing.way, first);
    if (surface) placing.first_patch = preview.first_frame_on(*surface, first);
  }
  if (surface) placing.patch = warp_to_canvas(prepared.working, pose, *surface, preview.max_side());
  placing.keyframe = needs_new_keyframe(keyframes.views.back(), placing.view, options.keyframes);
  if (placing.keyframe) {
    placing.image = keyframe_image_from(frame, options.memory);
  } else {
    // The spare memory is no one's but the sweep's (the tail holds the
    // other), so writing into it changes nothing a failure could expose.
    frame.copyTo(keyframes.spare_frame);
  }
  return placing;
}

// The planned frame placed: the way, the live canvas, the reference for the
// next frame, and the keyframe or the tail it becomes.
void Sweep::State::commit(Placing placing, FrameStatus& status) {
  tracking.direction = placing.way;
  status.on_preview = placing.new_surface ? show_on_new_surface(placing, status.canvas_shift)
                                          : preview.show(placing.patch, placing.way, status.canvas_shift);
  status.placement = placement_on_canvas(placing.view.pose, status.on_preview);
  tracking.reference = placing.view;
  tracking.reanchored = false;
  // Before the keyframe: the frame that settles the focal length pays for
  // the settling, and the next ones lay the keyframes again.
  preview.redraw_step(keyframes.views, keyframes.images, tracking.direction);
  if (placing.keyframe) {
    status.keyframe = static_cast<int>(keyframes.views.size());
    add_keyframe(std::move(placing.view), placing.image);
    keyframes.tail = Tail();
  } else {
    cv::Mat previous = std::move(keyframes.tail.camera_frame);
    keyframes.tail = {keyframes.spare_frame, std::move(placing.view), tracking.next_index};
    keyframes.spare_frame = std::move(previous);
  }
  tracking.after_frame(true);
}

// The frame that chooses the live canvas's surface lays the first frame on
// it, then itself. When it cannot be shown (the two would make the canvas
// too large), the preview stays as it was, the first frame as it came, and
// a later frame chooses again: the preview changes only with a frame shown.
// No frame is laid before the surface is chosen, so the copy holds no canvas.
bool Sweep::State::show_on_new_surface(const Placing& placing, cv::Point2f& canvas_shift) {
  LivePreview chosen = preview;
  chosen.choose_surface(*placing.new_surface, placing.first_patch, placing.way);
  if (!chosen.show(placing.patch, placing.way, canvas_shift)) return false;
  preview = std::move(chosen);
  return true;
}

void Sweep::State::add_keyframe(View view, const cv::Mat& image) {
  const bool refocused = !keyframes.focal_settled && options.scene == Scene::kTurning && !keyframes.views.empty() &&
                         settle_focal(view);
  keyframes.entries.push_back(keyframe_of(view, image.size(), options.scene));
  keyframes.views.push_back(std::move(view));
  if (options.keyframes.link_while_sweeping) link_in_background(keyframes.views.size() - 1);
  keyframes.images.add(image, counts);
  counts.keyframes = static_cast<int>(keyframes.entries.size());
  if (refocused && preview.projection()) preview.start_redraw(keyframes.views.back().pose.focal);
}

// Once the keyframes have turned far enough, they tell the focal length.
// The keyframes so far take it, keeping their rotations, the next frames are
// tracked with it, and the live canvas is drawn again at its scale, a
// keyframe a placed frame.
bool Sweep::State::settle_focal(View& view) {
  const std::optional<double> focal = focal_from_turn(keyframes.views, view);
  if (!focal) return false;
  keyframes.focal_settled = true;
  if (*focal <= 0) return false;
  refocus(view, *focal);
  for (std::size_t k = 0; k < keyframes.views.size(); ++k) {
    refocus(keyframes.views[k], *focal);
    keyframes.entries[k] = keyframe_of(keyframes.views[k], keyframes.entries[k].image_size, options.scene);
  }
  forget_links();
  tracking.reference.pose = view.pose;
  return true;
}

const cv::Mat& Sweep::preview() const { return state_->preview.image(); }
const cv::Mat& Sweep::preview_band() const { return state_->preview.band(); }
const SweepOptions& Sweep::options() const { return state_->options; }
const SweepCounts& Sweep::counts() const { return state_->counts; }
const std::vector<Keyframe>& Sweep::keyframes() const { return state_->keyframes.entries; }

std::vector<KeyframeLink> Sweep::State::links_of(std::size_t earlier, const LinkEnd& later) const {
  return links_with_earlier(keyframes.views, keyframes.entries, earlier, later, options.tracking, options.keyframes);
}

// Keyframe `index`'s links, each found from copies of its two keyframes as
// they stand (the copies share their images, which no keyframe changes in
// place).
void Sweep::State::link_in_background(std::size_t index) {
  const auto later = std::make_shared<const LinkEnd>(link_end(keyframes.views, keyframes.entries, index));
  std::vector<BackgroundLinks::Link> found;
  for (LinkEnd& end : ends_to_link(keyframes.views, keyframes.entries, index, later->view, options.keyframes))
    found.push_back([earlier = std::move(end), later, tracking = options.tracking, settings = options.keyframes] {
      return link_with(earlier, *later, tracking, settings);
    });
  links.background.queue(index, std::move(found));
}

// The links found so far, found on keyframes that have since changed (their
// poses or their points): found again.
void Sweep::State::forget_links() {
  links.forget();
  if (!options.keyframes.link_while_sweeping) return;
  for (std::size_t k = 0; k < keyframes.views.size(); ++k) link_in_background(k);
}

// Each keyframe is linked with the earlier ones it shares its view with;
// those links depend on nothing later, so they are found once (unless the
// keyframes change), each keyframe's beside the others' (those the thread
// of their own has not linked yet), and kept in the keyframes' order.
const std::vector<KeyframeLink>& Sweep::State::all_links() const {
  const std::lock_guard<std::mutex> lock(links.mutex);
  const std::size_t first = links.linked;
  std::vector<std::optional<std::vector<KeyframeLink>>> per_keyframe =
      links.background.collect(first, keyframes.views.size() - first);
  cv::parallel_for_(cv::Range(0, static_cast<int>(per_keyframe.size())), [&](const cv::Range& range) {
    for (int k = range.start; k < range.end; ++k)
      if (!per_keyframe[std::size_t(k)])
        per_keyframe[std::size_t(k)] = links_of(first + std::size_t(k), link_end(keyframes.views, keyframes.entries,
                                                                                  first + std::size_t(k)));
  });
  for (std::optional<std::vector<KeyframeLink>>& found : per_keyframe)
    for (KeyframeLink& link : *found) links.found.push_back(std::move(link));
  links.linked = keyframes.views.size();
  return links.found;
}

const std::vector<KeyframeLink>& Sweep::links() const { return state_->all_links(); }
cv::Mat Sweep::keyframe_image(int index) const { return state_->keyframes.images.get(index); }
const std::string& Sweep::working_directory() const { return state_->keyframes.images.folder(); }

SweepRecord Sweep::record() const {
  const State& s = *state_;
  const State::Keyframes& kept = s.keyframes;
  const cv::Mat tail_image =
      kept.tail.camera_frame.empty() ? cv::Mat() : keyframe_image_from(kept.tail.camera_frame, s.options.memory);
  // The overlay at the kept images' size; a sweep that kept no image yet has
  // nothing for it to cover.
  const cv::Size kept_size = !kept.entries.empty() ? kept.entries.front().image_size : tail_image.size();
  cv::Mat overlay;
  if (!s.overlay.mask().empty() && !kept_size.empty())
    cv::resize(s.overlay.mask(), overlay, kept_size, 0, 0, cv::INTER_NEAREST);
  SweepRecord record{s.options.scene, kept.entries, s.all_links(),
                     [&kept, tail_image](int index) {
                       return index < kept.images.size() ? kept.images.get(index) : tail_image;
                     },
                     overlay, s.tracking.direction};
  if (!tail_image.empty()) {
    const int index = static_cast<int>(kept.entries.size());
    record.keyframes.push_back(keyframe_of(kept.tail.view, tail_image.size(), s.options.scene));
    const LinkEnd tail{kept.tail.view, index, kept_scale_of(tail_image.size(), kept.tail.view.working_size)};
    for (KeyframeLink& link : s.links_of(kept.views.size(), tail)) record.links.push_back(std::move(link));
  }
  return record;
}

FinishedPanorama Sweep::finish() const { return finish(state_->options.render); }

FinishedPanorama Sweep::finish(const RenderOptions& options, const RenderStages& stages) const {
  return render(record(), options, stages);
}

void Sweep::remove_working_directory() { state_->keyframes.images.remove_folder(); }

}  // namespace zemb
