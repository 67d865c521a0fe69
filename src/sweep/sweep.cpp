// zemb::Sweep: the road of one frame (prepare, detect, start or track,
// recover, place, commit) with the settings of SweepOptions, and the record
// of keyframes it leaves for the finished render.
#include "zemb/sweep.h"

#include <opencv2/imgproc.hpp>

#include "sweep/sweep_internal.h"

namespace zemb {

namespace {

// A sweep that stays lost tries a thorough recovery every this many frames.
constexpr int kThoroughEvery = 4;

// The newest accepted frame that did not become a keyframe: the render
// takes it as a last keyframe, so that the finished panorama reaches as far
// as the preview. It keeps a copy of the camera frame, made into memory
// kept from frame to frame, and reduces it only when a render needs it: a
// copy costs a third of a reduction and a turn.
struct Tail {
  cv::Mat camera_frame;
  View view;
  int frame_index = -1;
};

cv::Point2d kept_scale_of(cv::Size kept, cv::Size working) {
  return {static_cast<double>(kept.width) / working.width, static_cast<double>(kept.height) / working.height};
}

cv::Mat kept_placement(const cv::Mat& to_canvas, cv::Point2d kept_scale) {
  const cv::Mat kept_to_working = (cv::Mat_<double>(3, 3) << 1.0 / kept_scale.x, 0, 0, 0, 1.0 / kept_scale.y, 0, 0, 0, 1);
  return to_canvas * kept_to_working;
}

// True when every corner of a working frame of `size` lands in front of the
// canvas (positive projective depth): a turning camera that has turned past
// a right angle from the first frame cannot be drawn on its plane.
bool in_front(const cv::Mat& to_canvas, cv::Size size) {
  const cv::Mat_<double> h = to_canvas;
  for (const cv::Point2f& corner : frame_corners(size))
    if (h(2, 0) * corner.x + h(2, 1) * corner.y + h(2, 2) <= 0.0) return false;
  return true;
}

// How far the frame of `later` has moved on from `earlier`, in the earlier
// frame's working pixels: where its centre lies there, less the centre.
double progress(const View& earlier, const View& later) {
  const cv::Point2f centre(later.working_size.width / 2.0f, later.working_size.height / 2.0f);
  const cv::Mat later_to_earlier = earlier.to_canvas.inv() * later.to_canvas;
  return project({centre}, later_to_earlier)[0].x - centre.x;
}

// The count that explains the outcome: the keypoints of a frame with too
// few or of the first frame, the tracked points of one that could not be
// placed, else the inliers.
int count_behind(const FrameStatus& status) {
  if (status.outcome == FrameOutcome::kTooFewKeypoints || status.tracked == 0) return status.keypoints;
  if (status.outcome == FrameOutcome::kNotPlaceable) return status.tracked;
  return status.inliers;
}

}  // namespace

struct Sweep::State {
  State(std::string directory, const SweepOptions& settings)
      : options(settings),
        fast(cv::FastFeatureDetector::create(settings.detection.fast_threshold, true,
                                             cv::FastFeatureDetector::TYPE_9_16)),
        finder(make_feature_finder()),
        kept(std::move(directory), settings.memory.budget_bytes) {}

  SweepOptions options;
  cv::Ptr<cv::FastFeatureDetector> fast;
  cv::Ptr<cv::Feature2D> finder;  // the sweep's own: recovery describes frames with it
  cv::Size first_size;
  int next_index = 0;
  cv::Mat preview, band_view;
  Band band;
  CanvasBuffers buffers;
  View reference;
  std::vector<View> views;  // one per keyframe
  std::vector<cv::Point2d> kept_scales;
  std::vector<Keyframe> keyframes;
  std::vector<KeyframeLink> links;
  KeptImages kept;
  SweepCounts counts;
  Tail tail;
  cv::Mat spare_frame;  // memory for the next tail's copy of its frame
  int lost_streak = 0;  // frames refused one after the other as not placeable

  void start(const cv::Mat& frame, const PreparedFrame& prepared, const std::vector<cv::KeyPoint>& keypoints,
             FrameStatus& status);
  void track_and_place(const cv::Mat& frame, const PreparedFrame& prepared, const std::vector<cv::KeyPoint>& keypoints,
                       FrameStatus& status);
  // A placed frame's part of the record, made before anything changes.
  struct Commit {
    View view;
    bool keyframe = false;
    cv::Mat image;  // a keyframe's kept image
    std::vector<KeyframeLink> links;
    cv::Mat camera_frame;  // else the tail's copy of the frame
  };
  Commit prepare_commit(const cv::Mat& frame, const PreparedFrame& prepared, const std::vector<cv::KeyPoint>& keypoints,
                        const cv::Mat& to_canvas);
  void commit(Commit pending, const Placement* placement, FrameStatus& status);
  std::vector<KeyframeLink> links_of(const View& view, int index, cv::Point2d kept_scale) const;
  void add_keyframe(View view, const cv::Mat& image, std::vector<KeyframeLink> new_links);
  void shift_canvas(cv::Point2f shift);
};

Sweep::Sweep(std::string directory, const SweepOptions& options) {
  options.check();
  state_ = std::make_unique<State>(std::move(directory), options);
}

Sweep::~Sweep() = default;
Sweep::Sweep(Sweep&&) noexcept = default;
Sweep& Sweep::operator=(Sweep&&) noexcept = default;

FrameStatus Sweep::add(const cv::Mat& frame) {
  State& s = *state_;
  check_frame(frame, s.first_size, "Sweep::add");
  const PreparedFrame prepared = prepare_frame(frame, s.options.preparation);
  FrameStatus status;
  const std::vector<cv::KeyPoint> keypoints = detect_adaptive(prepared.gray, s.options, *s.fast, status.fast_threshold);
  status.keypoints = count_of(keypoints);
  if (status.keypoints < s.options.detection.min_keypoints)
    status.outcome = FrameOutcome::kTooFewKeypoints;
  else if (s.preview.empty())
    s.start(frame, prepared, keypoints, status);
  else
    s.track_and_place(frame, prepared, keypoints, status);
  status.count = count_behind(status);
  ++s.next_index;
  ++s.counts.frames;
  ++s.counts.by_outcome[static_cast<int>(status.outcome)];
  return status;
}

void Sweep::State::start(const cv::Mat& frame, const PreparedFrame& prepared,
                         const std::vector<cv::KeyPoint>& keypoints, FrameStatus& status) {
  View view = make_view(prepared, keypoints, cv::Mat::eye(3, 3, CV_64F), next_index);
  const cv::Mat image = kept_image(frame, options);
  first_size = frame.size();
  preview = prepared.working;
  band_view = prepared.working;
  band = {0.0f, static_cast<float>(prepared.working.rows), static_cast<float>(prepared.working.cols)};
  reference = view;
  add_keyframe(std::move(view), image, {});
  status.outcome = FrameOutcome::kAccepted;
  status.keyframe = 0;
  status.on_preview = true;
  status.placement = cv::Mat::eye(3, 3, CV_64F);
}

// Where a candidate puts the frame: on the preview, off it (a placement the
// preview cannot take, of a frame that still lies in front of the canvas),
// or a refusal.
enum class Fit { kOnPreview, kOffPreview, kNotExtended, kNotPlaceable };

void Sweep::State::track_and_place(const cv::Mat& frame, const PreparedFrame& prepared,
                                   const std::vector<cv::KeyPoint>& keypoints, FrameStatus& status) {
  const auto fit_of = [&](const Candidate& candidate) {
    Geometry geometry;
    int refusal = 0;
    if (plan_placement(preview, band, prepared.working.size(), candidate.homography, options.placement,
                       options.tracking.fit, geometry, refusal))
      return Fit::kOnPreview;
    if (refusal == kNotExtended) return Fit::kNotExtended;
    return in_front(candidate.homography, prepared.working.size()) ? Fit::kOffPreview : Fit::kNotPlaceable;
  };
  Candidate chosen = track_view(reference, prepared, options);
  Fit fit = trustworthy(chosen, reference, options) ? fit_of(chosen) : Fit::kNotPlaceable;
  if (fit == Fit::kNotPlaceable && options.recovery.enabled) {
    // While lost, every few frames try everything; in between, the quick way.
    Recovery recovery(reference, views, prepared, finder, options, lost_streak % kThoroughEvery == 0);
    for (Candidate c = recovery.next(); fit == Fit::kNotPlaceable && !c.homography.empty(); c = recovery.next()) {
      chosen = c;
      fit = fit_of(c);
    }
    if (fit == Fit::kOnPreview || fit == Fit::kOffPreview) {
      status.outcome = FrameOutcome::kRelocalised;
      status.recovered_from = chosen.keyframe;
    }
  }
  status.tracked = chosen.tracked;
  status.inliers = chosen.inliers;
  lost_streak = fit == Fit::kNotPlaceable ? lost_streak + 1 : 0;
  if (fit == Fit::kNotExtended || fit == Fit::kNotPlaceable) {
    status.outcome = fit == Fit::kNotExtended ? FrameOutcome::kNotExtended : FrameOutcome::kNotPlaceable;
    return;
  }
  if (status.outcome != FrameOutcome::kRelocalised) status.outcome = FrameOutcome::kAccepted;
  // Everything that can fail comes before the preview changes: the record's
  // part, then the placement (which leaves the preview as it was when it
  // fails), then assignments that cannot.
  Commit pending = prepare_commit(frame, prepared, keypoints, chosen.homography);
  Placement placement;
  if (fit == Fit::kOnPreview)
    placement = place_frame(preview, band, prepared.working, chosen.homography, &buffers, options.placement,
                            options.tracking.fit);
  status.on_preview = fit == Fit::kOnPreview;
  commit(std::move(pending), status.on_preview ? &placement : nullptr, status);
}

std::vector<KeyframeLink> Sweep::State::links_of(const View& view, int index, cv::Point2d kept_scale) const {
  std::vector<KeyframeLink> found;
  const size_t first = views.size() > static_cast<size_t>(options.keyframes.link_keyframes) ? views.size() - options.keyframes.link_keyframes : 0;
  for (size_t i = first; i < views.size(); ++i) {
    KeyframeLink link = link_views(views[i], static_cast<int>(i), view, index, kept_scales[i], kept_scale, options);
    if (!link.from_points.empty()) found.push_back(std::move(link));
  }
  return found;
}

// The frame as the record keeps it, on the canvas as it stands before the
// placement: its view, its kept image, and its links when it becomes a
// keyframe.
Sweep::State::Commit Sweep::State::prepare_commit(const cv::Mat& frame, const PreparedFrame& prepared,
                                                  const std::vector<cv::KeyPoint>& keypoints,
                                                  const cv::Mat& to_canvas) {
  Commit pending;
  pending.view = make_view(prepared, keypoints, to_canvas, next_index);
  pending.keyframe = progress(views.back(), pending.view) >= options.keyframes.share * prepared.working.cols;
  if (!pending.keyframe) {
    // The spare memory is no one's but the sweep's (the tail holds the
    // other), so writing into it changes nothing a failure could expose.
    frame.copyTo(spare_frame);
    pending.camera_frame = spare_frame;
    return pending;
  }
  pending.image = kept_image(frame, options);
  pending.links = links_of(pending.view, static_cast<int>(views.size()),
                           kept_scale_of(pending.image.size(), prepared.working.size()));
  return pending;
}

// The preview pastes the frame with its right edge straightened; the record
// keeps the frame where it was tracked to, moved with the canvas.
void Sweep::State::commit(Commit pending, const Placement* placement, FrameStatus& status) {
  if (placement != nullptr) {
    shift_canvas(placement->shift);
    pending.view.to_canvas = translation(placement->shift.x, placement->shift.y) * pending.view.to_canvas;
    preview = placement->canvas;
    band_view = placement->cropped;
    band = placement->band;
    status.canvas_shift = placement->shift;
  }
  status.placement = pending.view.to_canvas.clone();
  reference = pending.view;
  if (pending.keyframe) {
    status.keyframe = static_cast<int>(views.size());
    add_keyframe(std::move(pending.view), pending.image, std::move(pending.links));
    tail = Tail();
  } else {
    cv::Mat previous = std::move(tail.camera_frame);
    tail = {std::move(pending.camera_frame), std::move(pending.view), next_index};
    spare_frame = std::move(previous);
  }
}

void Sweep::State::add_keyframe(View view, const cv::Mat& image, std::vector<KeyframeLink> new_links) {
  const cv::Point2d kept_scale = kept_scale_of(image.size(), view.working_size);
  keyframes.push_back({view.frame_index, image.size(), kept_placement(view.to_canvas, kept_scale), cv::Mat(), 0.0});
  kept_scales.push_back(kept_scale);
  views.push_back(std::move(view));
  for (KeyframeLink& link : new_links) links.push_back(std::move(link));
  kept.add(image, counts);
  counts.keyframes = static_cast<int>(keyframes.size());
}

// The canvas grew left or up: everything placed on it moves with it.
void Sweep::State::shift_canvas(cv::Point2f shift) {
  if (shift.x == 0.0f && shift.y == 0.0f) return;
  const cv::Mat move = translation(shift.x, shift.y);
  for (View& view : views) view.to_canvas = move * view.to_canvas;
  for (Keyframe& keyframe : keyframes) keyframe.placement = move * keyframe.placement;
  if (!tail.camera_frame.empty()) tail.view.to_canvas = move * tail.view.to_canvas;
}

const cv::Mat& Sweep::preview() const { return state_->preview; }
const cv::Mat& Sweep::preview_band() const { return state_->band_view; }
const SweepOptions& Sweep::options() const { return state_->options; }
const SweepCounts& Sweep::counts() const { return state_->counts; }
const std::vector<Keyframe>& Sweep::keyframes() const { return state_->keyframes; }
const std::vector<KeyframeLink>& Sweep::links() const { return state_->links; }
cv::Mat Sweep::keyframe_image(int index) const { return state_->kept.get(index); }
const std::string& Sweep::working_directory() const { return state_->kept.folder(); }

SweepRecord Sweep::record() const {
  const State& s = *state_;
  const cv::Mat tail_image = s.tail.camera_frame.empty() ? cv::Mat() : kept_image(s.tail.camera_frame, s.options);
  SweepRecord record{s.options.scene, s.keyframes, s.links, [&s, tail_image](int index) {
                       return index < s.kept.size() ? s.kept.get(index) : tail_image;
                     }};
  if (!tail_image.empty()) {
    const int index = static_cast<int>(s.keyframes.size());
    const cv::Point2d kept_scale = kept_scale_of(tail_image.size(), s.tail.view.working_size);
    record.keyframes.push_back(
        {s.tail.frame_index, tail_image.size(), kept_placement(s.tail.view.to_canvas, kept_scale), cv::Mat(), 0.0});
    for (KeyframeLink& link : s.links_of(s.tail.view, index, kept_scale)) record.links.push_back(std::move(link));
  }
  return record;
}

FinishedPanorama Sweep::finish() const { return finish(state_->options.render); }

FinishedPanorama Sweep::finish(const RenderOptions& options, const RenderStages& stages) const {
  return render(record(), options, stages);
}

void Sweep::remove_working_directory() { state_->kept.remove_folder(); }

}  // namespace zemb
