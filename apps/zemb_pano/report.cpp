#include "report.h"

#include "pano_error.h"

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>

namespace zemb_pano {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kTerminalInterval = std::chrono::milliseconds(100);
constexpr auto kPlainInterval = std::chrono::seconds(5);
constexpr int kBarWidth = 30;
constexpr size_t kLabelWidth = 38;  // the summary's values line up after this

std::string bar(int done, int total) {
  const int filled = total > 0 ? std::min(kBarWidth, done * kBarWidth / total) : 0;
  return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] ";
}

std::string counts(const RunStats& stats, std::optional<int> expected, double seconds) {
  std::ostringstream text;
  text << stats.frames_read;
  if (expected) text << "/" << *expected;
  text << " frames, " << std::fixed << std::setprecision(1) << (seconds > 0 ? stats.frames_read / seconds : 0.0)
       << " fps, " << stats.placed() << " placed, " << stats.refused() << " refused";
  return text.str();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::ostream& label(std::ostream& out, const std::string& text) {
  return out << text << std::string(kLabelWidth - std::min(kLabelWidth, text.size()), ' ');
}

std::string time_text(const std::vector<FrameRecord>& frames) {
  std::vector<double> frame_ms;
  for (const FrameRecord& frame : frames) frame_ms.push_back(frame.ms);
  std::ostringstream text;
  std::vector<double> sorted = frame_ms;
  std::sort(sorted.begin(), sorted.end());
  const double p99 = sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
  text << std::fixed << std::setprecision(1) << "median " << median(frame_ms) << " ms, p99 " << p99
       << " ms, slowest " << sorted.back() << " ms";
  return text.str();
}

std::string size_text(cv::Size size) { return std::to_string(size.width) + " x " + std::to_string(size.height); }

std::string seconds_text(double seconds) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(2) << seconds << " s";
  return text.str();
}

// Frame numbers (counted from 1, as a person counts them) as runs: "3, 7-9".
std::string frames_text(const std::vector<int>& indices) {
  std::ostringstream text;
  for (std::size_t i = 0; i < indices.size();) {
    std::size_t end = i + 1;
    while (end < indices.size() && indices[end] == indices[end - 1] + 1) ++end;
    text << (i ? ", " : "") << indices[i] + 1;
    if (end - i > 1) text << "-" << indices[end - 1] + 1;
    i = end;
  }
  return text.str();
}

// The frames that came to `outcome`, named under its count.
void print_frames_of(std::ostream& out, const RunStats& stats, zemb::FrameOutcome outcome) {
  std::vector<int> indices;
  for (std::size_t i = 0; i < stats.frames.size(); ++i)
    if (stats.frames[i].outcome == outcome) indices.push_back(static_cast<int>(i));
  if (!indices.empty()) out << "  frames " << frames_text(indices) << "\n";
}

// `left_out_frames`: the frames of the keyframes the render left out, when
// they are frames of a sweep.
void print_finish_report(std::ostream& out, const zemb::FinishReport& report,
                         const std::vector<int>& left_out_frames = {}) {
  label(out, "finished panorama") << size_text(report.size) << "\n";
  label(out, "keyframes used") << report.keyframes_used << "\n";
  // "refined", "refined, homography (why not rotations)" or "live (why)".
  std::string placements = report.refined ? "refined" : "live";
  if (report.refined && report.fallback != zemb::RenderFallback::kNone)
    placements += std::string(", ") + zemb::model_name(report.model);
  if (report.fallback != zemb::RenderFallback::kNone) placements += " (" + report.fallback_message + ")";
  label(out, "placements") << placements << "\n";
  if (!report.left_out.empty()) label(out, "keyframes left out") << report.left_out.size() << "\n";
  if (!left_out_frames.empty()) out << "  frames " << frames_text(left_out_frames) << "\n";
  label(out, "finish time") << seconds_text(report.seconds_total) << " (refine " << seconds_text(report.seconds_refine)
                            << ", exposure " << seconds_text(report.seconds_exposure) << ", seams "
                            << seconds_text(report.seconds_seams) << ", blend " << seconds_text(report.seconds_blend)
                            << ")\n";
}

// Which photos joined, which were left out and why, and where the time went
// before the render.
void print_photo_set(std::ostream& out, const RunResult& run) {
  const zemb::PhotoSetReport& report = *run.photo_report;
  label(out, "photos read") << run.stats.frames_read << "\n";
  label(out, "placed") << report.placed.size() << "\n";
  label(out, "left out") << report.left_out.size() << "\n";
  for (const zemb::LeftOutPhoto& photo : report.left_out)
    out << "  " << run.photo_names[std::size_t(photo.index)] << ": " << zemb::left_out_name(photo.why) << ", "
        << photo.message << "\n";
  label(out, "pairs matched") << report.pairs_tried << " (" << report.pairs_kept << " confident)\n";
  label(out, "registration time") << seconds_text(report.seconds_features + report.seconds_matching)
                                  << " (features " << seconds_text(report.seconds_features) << ", matching "
                                  << seconds_text(report.seconds_matching) << ")\n";
  print_finish_report(out, run.finish_report);
}

}  // namespace

Progress::Progress(std::ostream& out, bool terminal, std::optional<int> expected_frames)
    : out_(out), terminal_(terminal), expected_(expected_frames), start_(Clock::now()), last_shown_(start_) {}

Progress::~Progress() {
  if (line_open_) out_ << "\n" << std::flush;
}

void Progress::update(const RunStats& stats) {
  if (Clock::now() - last_shown_ >= (terminal_ ? kTerminalInterval : kPlainInterval)) show(stats);
}

void Progress::finish(const RunStats& stats) {
  if (!terminal_) return;
  show(stats);
  out_ << "\n" << std::flush;
  line_open_ = false;
}

void Progress::show(const RunStats& stats) {
  last_shown_ = Clock::now();
  const double seconds = std::chrono::duration<double>(last_shown_ - start_).count();
  const std::string text = counts(stats, expected_, seconds);
  if (terminal_) {
    out_ << "\r" << (expected_ ? bar(stats.frames_read, *expected_) : "") << text << "\033[K" << std::flush;
    line_open_ = true;
  } else {
    out_ << "zemb_pano: " << text << "\n" << std::flush;
  }
}

void print_summary(std::ostream& out, const RunResult& run, bool sweep) {
  using zemb::FrameOutcome;
  if (run.photo_report) return print_photo_set(out, run);
  const RunStats& stats = run.stats;
  static const std::pair<FrameOutcome, const char*> kRefusals[] = {
      {FrameOutcome::kTooFewKeypoints, "refused, too few keypoints"},
      {FrameOutcome::kTooFewTracked, "refused, too few tracked points"},
      {FrameOutcome::kNotExtended, "refused, did not extend the panorama"},
      {FrameOutcome::kNotPlaceable, "refused, could not be placed"},
  };
  // Only the sweep relocalises, and only the fixed stitcher refuses a frame
  // for too few tracked points (the sweep counts that as not placeable).
  label(out, "frames read") << stats.frames_read << "\n";
  label(out, "accepted") << stats.count(FrameOutcome::kAccepted) << "\n";
  if (sweep) label(out, "relocalised") << stats.count(FrameOutcome::kRelocalised) << "\n";
  for (const auto& [outcome, text] : kRefusals)
    if (!sweep || outcome != FrameOutcome::kTooFewTracked) {
      label(out, text) << stats.count(outcome) << "\n";
      print_frames_of(out, stats, outcome);
    }
  if (sweep) label(out, "keyframes") << stats.keyframes() << "\n";
  if (!stats.frames.empty()) label(out, "time per frame") << time_text(stats.frames) << "\n";
  label(out, sweep ? "preview" : "panorama") << size_text(run.panorama.size()) << "\n";
  label(out, "cropped band") << size_text(run.cropped.size()) << "\n";
  if (!run.rendered) return;
  print_finish_report(out, run.finish_report, run.left_out_frames);
  if (!run.finished_cropped.empty())
    label(out, "finished, cropped") << size_text(run.finished_cropped.size()) << "\n";
}

void write_frames_csv(const std::string& path, const RunStats& stats) {
  std::ofstream file(path);
  file << "index,status,count,ms,keyframe\n" << std::fixed << std::setprecision(2);
  for (size_t i = 0; i < stats.frames.size(); ++i) {
    const FrameRecord& frame = stats.frames[i];
    file << i << "," << zemb::outcome_name(frame.outcome) << "," << frame.count << "," << frame.ms << ","
         << (frame.keyframe ? 1 : 0) << "\n";
  }
  file.close();
  if (!file) throw PanoError(kExitBadOutput, path + ": cannot write the frames CSV");
}

}  // namespace zemb_pano
