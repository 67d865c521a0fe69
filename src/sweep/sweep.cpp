// zemb::Sweep: the road of one frame (prepare, detect, start or track,
// recover, pose, show, record) and the record it leaves for the finished
// render. Frames stay upright: the live canvas grows in whichever direction
// the camera goes, on a cylinder for a turning camera and on a plane for a
// flat scene.
#include "zemb/sweep.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include <opencv2/imgproc.hpp>

#include "sweep/sweep_internal.h"

namespace zemb {

namespace {

// A sweep's direction is taken once it has moved this share of a frame.
constexpr double kDirectionShare = 0.1;
// A keyframe is linked with earlier keyframes whose view it still shares:
// their centres less than this share of a frame apart.
constexpr double kLinkReach = 0.85;

double seconds_since(int64 start) { return static_cast<double>(cv::getTickCount() - start) / cv::getTickFrequency(); }

// The newest accepted frame that did not become a keyframe: the render
// takes it as a last keyframe, so that the finished panorama reaches as far
// as the preview. It keeps a copy of the camera frame, made into memory
// kept from frame to frame, and reduces it only when a render needs it.
struct Tail {
  cv::Mat camera_frame;
  View view;
  int frame_index = -1;
};

cv::Point2d kept_scale_of(cv::Size kept, cv::Size working) {
  return {static_cast<double>(kept.width) / working.width, static_cast<double>(kept.height) / working.height};
}

// The count that explains the outcome: the keypoints of a frame with too
// few or of the first frame, the tracked points of one that could not be
// placed, else the inliers.
int count_behind(const FrameStatus& status) {
  if (status.outcome == FrameOutcome::kTooFewKeypoints || status.tracked == 0) return status.keypoints;
  if (status.outcome == FrameOutcome::kNotPlaceable) return status.tracked;
  return status.inliers;
}

// Keyframes this close to the newest are related through the chain of
// fitted transforms; further back (a turn that came round), through poses.
constexpr std::size_t kChainKeyframes = 8;

// How far, as a share of a frame, a link may put a keyframe from where the
// chain predicts it; through poses, a loop that comes round may have
// drifted further.
constexpr double kNearbySlack = 0.1;
constexpr double kFarSlack = 0.4;

// Later working pixel -> earlier working pixel.
cv::Matx33d later_to_earlier(const View& earlier, const View& later, bool nearby) {
  return nearby ? earlier.chain.inv() * later.chain : relative_between(earlier.pose, later.pose);
}

// How far `later` has moved on from `earlier`: the larger share of a frame
// its centre moved along either axis, or the share by which a zoom changed
// its scale.
double progress(const View& earlier, const View& later, bool nearby = true) {
  cv::Matx33d relative = later_to_earlier(earlier, later, nearby);
  const cv::Point2d moved = camera_motion(relative, later.working_size);
  relative *= 1.0 / relative(2, 2);
  const double zoom = std::sqrt(std::abs(relative(0, 0) * relative(1, 1) - relative(0, 1) * relative(1, 0)));
  return std::max({std::abs(moved.x) / earlier.working_size.width, std::abs(moved.y) / earlier.working_size.height,
                   std::abs(std::log(zoom))});
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

// Frames are tracked at the first frame's size. A frame of another size
// (photos of a set seldom agree to the pixel) is scaled to it when its
// proportions are about the same; false when they are not.
bool fits_first(const cv::Mat& frame, cv::Size first, cv::Mat& fitted) {
  constexpr double kMostAspectChange = 0.1;
  if (frame.size() == first) return true;
  const double aspect = static_cast<double>(frame.cols) / frame.rows, first_aspect = static_cast<double>(first.width) / first.height;
  if (std::abs(aspect / first_aspect - 1.0) > kMostAspectChange) return false;
  cv::resize(frame, fitted, first, 0, 0, cv::INTER_AREA);
  return true;
}

// The focal length the field-of-view hint gives a working frame of `size`.
double focal_hint(const SweepOptions& options, cv::Size size) {
  const double half_angle = options.tracking.field_of_view * CV_PI / 360.0;
  return std::max(size.width, size.height) * 0.5 / std::tan(half_angle);
}

// A cylinder turns about the axis across the way the camera goes.
Surface surface_for(Scene scene, Direction direction) {
  if (scene == Scene::kFlat) return Surface::kPlane;
  return direction == Direction::kUp || direction == Direction::kDown ? Surface::kLyingCylinder
                                                                      : Surface::kUprightCylinder;
}

Keyframe keyframe_of(const View& view, cv::Size kept_size, Scene scene) {
  const cv::Point2d kept_scale = kept_scale_of(kept_size, view.working_size);
  Keyframe keyframe{view.frame_index, kept_size, cv::Mat(), cv::Mat(), 0.0};
  if (scene == Scene::kTurning) {
    keyframe.rotation = cv::Mat(view.pose.rotation(view.working_size)).clone();
    keyframe.focal = view.pose.focal * kept_scale.x;
  } else {
    const cv::Matx33d working_of_kept(1.0 / kept_scale.x, 0, 0, 0, 1.0 / kept_scale.y, 0, 0, 0, 1);
    keyframe.placement = cv::Mat(view.pose.to_world * working_of_kept).clone();
  }
  return keyframe;
}

}  // namespace

struct Sweep::State {
  State(std::string directory, const SweepOptions& settings)
      : options(settings),
        fast(cv::FastFeatureDetector::create(settings.detection.fast_threshold, true,
                                             cv::FastFeatureDetector::TYPE_9_16)),
        describers(Describers::make()),
        kept(std::move(directory), settings.memory.budget_bytes),
        direction(settings.direction) {}

  SweepOptions options;
  cv::Ptr<cv::FastFeatureDetector> fast;
  Describers describers;  // the sweep's own: recovery describes frames with them
  KeptImages kept;
  // kAuto until the sweep has moved far enough to tell. Recovery looks along
  // it; a cylinder turns across it (a flat scene's plane needs none).
  Direction direction;
  std::optional<Projection> projection;  // the live canvas's surface, once known
  LiveCanvas canvas;
  cv::Mat preview, band_view;
  cv::Rect band;  // canvas pixels that every laid frame covered across the sweep
  // The first working frame, shown alone until the surface is known, then
  // laid on it (the frames placed until then lie within a tenth of a frame
  // of it). A copy: a frame at the working size is the caller's own buffer,
  // which the caller may reuse or free once add() returns.
  cv::Mat first_working;
  cv::Size first_size;    // of the first camera frame placed
  int next_index = 0;
  View reference;
  std::vector<View> views;  // one per keyframe
  std::vector<Keyframe> keyframes;
  // Links are found when they are first asked for (links(), record()),
  // never on a frame's road: a keyframe's frame costs what any frame costs.
  std::vector<KeyframeLink> links;
  std::size_t linked = 0;  // keyframes whose links to earlier ones are found
  SweepCounts counts;
  Tail tail;
  cv::Mat spare_frame;  // memory for the next tail's copy of its frame
  Recovery recovery;
  RunningMedian placed_seconds;
  bool focal_settled = false;  // estimated from the sweep, or given up on

  void count(FrameStatus& status);
  void start(const cv::Mat& frame, const PreparedFrame& prepared, const std::vector<cv::KeyPoint>& keypoints,
             FrameStatus& status);
  Candidate locate(const PreparedFrame& prepared, int64 start);
  void place(const cv::Mat& frame, const PreparedFrame& prepared, const std::vector<cv::KeyPoint>& keypoints,
             const Candidate& candidate, FrameStatus& status);
  void settle_direction(const View& view);
  // Links of `view` (keyframe `index`) with the first `earlier` keyframes.
  std::vector<KeyframeLink> links_of(std::size_t earlier, const View& view, int index, cv::Point2d kept_scale) const;
  void add_keyframe(View view, const cv::Mat& image);
  bool settle_focal(View& view);
  void redraw_preview();
  void link_new_keyframes();
  void show(const Patch& patch, FrameStatus& status);
  cv::Mat placement_on_canvas(const Pose& pose, bool shown) const;
  void refresh_preview();
};

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
  check_frame(camera_frame, cv::Size(), "Sweep::add");
  FrameStatus status;
  cv::Mat frame = camera_frame;  // a header: only read
  if (!s.views.empty() && !fits_first(camera_frame, s.first_size, frame)) {
    status.outcome = FrameOutcome::kNotPlaceable;
    s.count(status);
    return status;
  }
  const PreparedFrame prepared = prepare_upright(frame, s.options.preparation);
  const std::vector<cv::KeyPoint> keypoints = detect_adaptive(prepared.gray, s.options, *s.fast, status.fast_threshold);
  status.keypoints = count_of(keypoints);
  if (status.keypoints < s.options.detection.min_keypoints) {
    status.outcome = FrameOutcome::kTooFewKeypoints;
  } else if (s.views.empty()) {
    s.start(frame, prepared, keypoints, status);
  } else {
    const Candidate candidate = s.locate(prepared, start);
    status.tracked = candidate.tracked;
    status.inliers = candidate.inliers;
    if (candidate.found)
      s.place(frame, prepared, keypoints, candidate, status);
    else
      status.outcome = FrameOutcome::kNotPlaceable;
  }
  if (status.placed()) s.placed_seconds.add(seconds_since(start));
  s.count(status);
  return status;
}

void Sweep::State::count(FrameStatus& status) {
  status.count = count_behind(status);
  ++next_index;
  ++counts.frames;
  ++counts.by_outcome[static_cast<int>(status.outcome)];
}

void Sweep::State::start(const cv::Mat& frame, const PreparedFrame& prepared,
                         const std::vector<cv::KeyPoint>& keypoints, FrameStatus& status) {
  const cv::Size size = prepared.working.size();
  View view = make_view(prepared, keypoints, first_pose(options.scene, focal_hint(options, size), size),
                        cv::Matx33d::eye(), next_index);
  const cv::Mat image = kept_image(frame, options);
  first_working = prepared.working.clone();
  first_size = frame.size();
  reference = view;
  add_keyframe(std::move(view), image);
  settle_direction(reference);
  refresh_preview();
  status.outcome = FrameOutcome::kAccepted;
  status.keyframe = 0;
  status.on_preview = true;
  status.placement = placement_on_canvas(reference.pose, !canvas.image().empty());
}

// A flat scene's frame on the preview: working pixel -> preview pixel.
// Empty for a turning camera, whose frames a cylinder shows.
cv::Mat Sweep::State::placement_on_canvas(const Pose& pose, bool shown) const {
  if (!shown || options.scene != Scene::kFlat) return cv::Mat();
  return cv::Mat(cv::Matx33d(1, 0, -canvas.origin().x, 0, 1, -canvas.origin().y, 0, 0, 1) * pose.to_world);
}

// Tracks the frame against the last accepted one; when that fails, recovers
// within the time left of the frame's budget. A trustworthy candidate, or
// one not found.
Candidate Sweep::State::locate(const PreparedFrame& prepared, int64 start) {
  Candidate candidate = track_moving(reference, prepared, options);
  if (trustworthy(candidate, reference, options)) {
    recovery.reset();
    return candidate;
  }
  candidate.found = false;
  if (!options.recovery.enabled) return candidate;
  // Before any frame was placed, the budget is measured by this frame's own tracking.
  const double typical = placed_seconds.median() > 0 ? placed_seconds.median() : seconds_since(start);
  const double left = options.recovery.time_budget * typical - seconds_since(start);
  Candidate recovered =
      recovery.run(reference, views, prepared, unit_of(direction), describers, options, std::max(0.0, left));
  return recovered.found ? recovered : candidate;
}

// The frame placed: its pose from the view it was found against, then what
// can fail (its patch on the canvas, its kept image and links), then what
// cannot, so that an exception leaves the sweep as it was.
void Sweep::State::place(const cv::Mat& frame, const PreparedFrame& prepared,
                         const std::vector<cv::KeyPoint>& keypoints, const Candidate& candidate,
                         FrameStatus& status) {
  const View& found_in = candidate.keyframe < 0 ? reference : views[std::size_t(candidate.keyframe)];
  const Pose pose =
      pose_from(options.scene, found_in.pose, candidate.relative, found_in.working_size, prepared.working.size());
  View view = make_view(prepared, keypoints, pose, found_in.chain * candidate.relative, next_index);
  if (!candidate.recovered) view.step = candidate.relative;
  status.outcome = candidate.recovered ? FrameOutcome::kRelocalised : FrameOutcome::kAccepted;
  status.recovered_from = candidate.keyframe;
  settle_direction(view);
  const Patch patch = projection ? warp_to_canvas(prepared.working, pose, *projection, options.placement.max_canvas_side)
                                 : Patch();
  const bool keyframe = progress(views.back(), view) >= options.keyframes.share;
  cv::Mat image;
  if (keyframe) {
    image = kept_image(frame, options);
  } else {
    // The spare memory is no one's but the sweep's (the tail holds the
    // other), so writing into it changes nothing a failure could expose.
    frame.copyTo(spare_frame);
  }
  show(patch, status);
  status.placement = placement_on_canvas(pose, status.on_preview);
  reference = view;
  if (keyframe) {
    status.keyframe = static_cast<int>(views.size());
    add_keyframe(std::move(view), image);
    tail = Tail();
  } else {
    cv::Mat previous = std::move(tail.camera_frame);
    tail = {spare_frame, std::move(view), next_index};
    spare_frame = std::move(previous);
  }
}

// Once the sweep has moved far enough to tell its way, recovery knows where
// to look, and the live canvas's surface is known (a plane at once): the
// first frame is laid on it.
void Sweep::State::settle_direction(const View& view) {
  const View& first = views.front();
  if (direction == Direction::kAuto && progress(first, view) >= kDirectionShare)
    direction = direction_of(camera_motion(later_to_earlier(first, view, true), view.working_size));
  if (projection || (direction == Direction::kAuto && options.scene == Scene::kTurning)) return;
  const double scale = options.scene == Scene::kTurning ? first.pose.focal : 1.0;
  projection.emplace(surface_for(options.scene, direction), scale);
  FrameStatus ignored;
  show(warp_to_canvas(first_working, first.pose, *projection, options.placement.max_canvas_side), ignored);
  first_working.release();
}

// Lays the patch on the live canvas and narrows the band across the sweep.
void Sweep::State::show(const Patch& patch, FrameStatus& status) {
  const cv::Point before = canvas.origin();
  status.on_preview = !patch.image.empty() && canvas.lay(patch, *projection, options.placement.max_canvas_side);
  if (!status.on_preview) return;
  status.canvas_shift = cv::Point2f(before - canvas.origin());
  const bool across_rows = direction == Direction::kRight || direction == Direction::kLeft;
  const cv::Rect box = patch.box;
  if (band.empty())
    band = box;
  else if (across_rows)
    band = cv::Rect(0, std::max(band.y, box.y), 1, std::min(band.br().y, box.br().y) - std::max(band.y, box.y));
  else
    band = cv::Rect(std::max(band.x, box.x), 0, std::min(band.br().x, box.br().x) - std::max(band.x, box.x), 1);
  refresh_preview();
}

// The preview and its band: the rows (or columns) every frame covered,
// across the whole canvas; the whole canvas when there are none.
void Sweep::State::refresh_preview() {
  preview = canvas.image().empty() ? first_working : canvas.image();
  const bool across_rows = direction == Direction::kRight || direction == Direction::kLeft;
  const cv::Rect whole(cv::Point(0, 0), preview.size());
  cv::Rect wanted = whole;
  if (!canvas.image().empty() && !band.empty()) {
    const cv::Rect in_image = band - canvas.origin();
    wanted = across_rows ? cv::Rect(0, in_image.y, whole.width, in_image.height)
                         : cv::Rect(in_image.x, 0, in_image.width, whole.height);
  }
  wanted &= whole;
  band_view = preview(wanted.empty() ? whole : wanted);
}

// Earlier keyframes that still share the view, nearest first: the newest
// ones, and after a full turn the first ones again.
std::vector<KeyframeLink> Sweep::State::links_of(std::size_t earlier, const View& view, int index,
                                                 cv::Point2d kept_scale) const {
  std::vector<std::pair<double, std::size_t>> near;
  for (std::size_t i = 0; i < earlier; ++i) {
    const double apart = progress(views[i], view, earlier - i <= kChainKeyframes);
    if (apart < kLinkReach) near.emplace_back(apart, i);
  }
  std::sort(near.begin(), near.end());
  if (near.size() > static_cast<std::size_t>(options.keyframes.link_keyframes))
    near.resize(static_cast<std::size_t>(options.keyframes.link_keyframes));
  std::vector<KeyframeLink> found;
  for (const auto& [apart, i] : near) {
    const cv::Point2d earlier_scale = kept_scale_of(keyframes[i].image_size, views[i].working_size);
    const bool nearby = earlier - i <= kChainKeyframes;
    const double slack = (nearby ? kNearbySlack : kFarSlack) * std::max(view.working_size.width, view.working_size.height);
    KeyframeLink link = link_views(views[i], static_cast<int>(i), view, index, later_to_earlier(views[i], view, nearby),
                                   slack, earlier_scale, kept_scale, options);
    if (!link.from_points.empty()) found.push_back(std::move(link));
  }
  return found;
}

void Sweep::State::add_keyframe(View view, const cv::Mat& image) {
  const bool refocused = !focal_settled && options.scene == Scene::kTurning && !views.empty() && settle_focal(view);
  keyframes.push_back(keyframe_of(view, image.size(), options.scene));
  views.push_back(std::move(view));
  kept.add(image, counts);
  counts.keyframes = static_cast<int>(keyframes.size());
  if (refocused && projection) redraw_preview();
}

// The live canvas again, at the scale of the focal length the sweep found,
// from the keyframes so far: the frames show at their own resolution.
void Sweep::State::redraw_preview() {
  const LiveCanvas old_canvas = canvas;
  const cv::Rect old_band = band;
  const Projection old_projection = *projection;
  try {
    projection.emplace(old_projection.surface(), views.back().pose.focal);
    canvas = LiveCanvas();
    band = cv::Rect();
    for (std::size_t k = 0; k < views.size(); ++k) {
      cv::Mat working;
      cv::resize(kept.get(static_cast<int>(k)), working, views[k].working_size, 0, 0, cv::INTER_AREA);
      FrameStatus ignored;
      show(warp_to_canvas(working, views[k].pose, *projection, options.placement.max_canvas_side), ignored);
    }
  } catch (...) {
    canvas = old_canvas;
    band = old_band;
    projection.emplace(old_projection);
    refresh_preview();
    throw;
  }
}

const cv::Mat& Sweep::preview() const { return state_->preview; }
const cv::Mat& Sweep::preview_band() const { return state_->band_view; }
const SweepOptions& Sweep::options() const { return state_->options; }
const SweepCounts& Sweep::counts() const { return state_->counts; }
const std::vector<Keyframe>& Sweep::keyframes() const { return state_->keyframes; }
// Once the keyframes have turned far enough, their chained homographies tell
// the focal length, the field of view's hint only where they began. The
// keyframes so far take it, keeping their rotations, the next frames are
// tracked with it, and the live canvas is drawn again at its scale.
bool Sweep::State::settle_focal(View& view) {
  constexpr double kLeastTurn = 15.0 * CV_PI / 180.0;
  std::vector<cv::Matx33d> homographies;
  for (std::size_t k = 1; k < views.size(); ++k)
    homographies.push_back(views[k - 1].chain.inv() * views[k].chain);
  homographies.push_back(views.back().chain.inv() * view.chain);
  const cv::Matx33d turn = views.front().pose.rotation(view.working_size).t() * view.pose.rotation(view.working_size);
  const double angle = std::acos(std::clamp((cv::trace(turn) - 1.0) / 2.0, -1.0, 1.0));
  if (angle < kLeastTurn) return false;
  focal_settled = true;
  const double focal = estimate_focal(homographies, view.working_size, view.pose.focal);
  if (focal <= 0) return false;
  const auto refocus = [focal](View& v) {
    const cv::Matx33d rotation = v.pose.rotation(v.working_size);
    v.pose.focal = focal;
    v.pose.to_world = rotation * intrinsics(focal, v.working_size).inv();
  };
  refocus(view);
  for (std::size_t k = 0; k < views.size(); ++k) {
    refocus(views[k]);
    keyframes[k] = keyframe_of(views[k], keyframes[k].image_size, options.scene);
  }
  reference.pose = view.pose;
  return true;
}

// Each keyframe is linked with the earlier ones it shares its view with;
// those links depend on nothing later, so they are found once.
void Sweep::State::link_new_keyframes() {
  for (; linked < views.size(); ++linked) {
    const View& view = views[linked];
    const cv::Point2d kept_scale = kept_scale_of(keyframes[linked].image_size, view.working_size);
    for (KeyframeLink& link : links_of(linked, view, static_cast<int>(linked), kept_scale))
      links.push_back(std::move(link));
  }
}

const std::vector<KeyframeLink>& Sweep::links() const {
  state_->link_new_keyframes();
  return state_->links;
}
cv::Mat Sweep::keyframe_image(int index) const { return state_->kept.get(index); }
const std::string& Sweep::working_directory() const { return state_->kept.folder(); }

SweepRecord Sweep::record() const {
  state_->link_new_keyframes();
  const State& s = *state_;
  const cv::Mat tail_image = s.tail.camera_frame.empty() ? cv::Mat() : kept_image(s.tail.camera_frame, s.options);
  SweepRecord record{s.options.scene, s.keyframes, s.links, [&s, tail_image](int index) {
                       return index < s.kept.size() ? s.kept.get(index) : tail_image;
                     }};
  if (!tail_image.empty()) {
    const int index = static_cast<int>(s.keyframes.size());
    record.keyframes.push_back(keyframe_of(s.tail.view, tail_image.size(), s.options.scene));
    const cv::Point2d kept_scale = kept_scale_of(tail_image.size(), s.tail.view.working_size);
    for (KeyframeLink& link : s.links_of(s.views.size(), s.tail.view, index, kept_scale))
      record.links.push_back(std::move(link));
  }
  return record;
}

FinishedPanorama Sweep::finish() const { return finish(state_->options.render); }

FinishedPanorama Sweep::finish(const RenderOptions& options, const RenderStages& stages) const {
  return render(record(), options, stages);
}

void Sweep::remove_working_directory() { state_->kept.remove_folder(); }

}  // namespace zemb
