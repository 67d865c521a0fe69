#include "bench_report.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "bench_support.h"
#include "frame_chart.h"

namespace zemb_bench {

namespace {

using StageValue = std::function<double(const FrameStages&)>;
using Row = std::vector<std::string>;

constexpr int kGrowthBucket = 1000;  // canvas columns per row of the growth table
constexpr int kWideCanvas = 7000;    // columns from which a canvas counts as near the limit

struct Stage {
  std::string label;
  StageValue value;
};

const StageValue kPlace = [](const FrameStages& f) { return f.place; };
const StageValue kWarp = [](const FrameStages& f) { return f.warp; };
const StageValue kSeam = [](const FrameStages& f) { return f.seam; };
const StageValue kPanoramaCopy = [](const FrameStages& f) { return f.panorama_copy; };

const std::vector<Stage>& stages() {
  static const std::vector<Stage> list{
      {"prepare_frame (reduce, turn, gray)", [](const FrameStages& f) { return f.prepare; }},
      {"detect_keypoints (FAST)", [](const FrameStages& f) { return f.detect; }},
      {"track_reference (flow + fit)", [](const FrameStages& f) { return f.track; }},
      {"- optical flow, replayed", [](const FrameStages& f) { return f.flow; }},
      {"- homography fit, replayed", [](const FrameStages& f) { return f.fit; }},
      {"place_frame (canvas part)", kPlace},
      {"- patch warp, replayed", kWarp},
      {"- seam repair, replayed", kSeam},
      {"- canvas composition (the rest)", [](const FrameStages& f) { return f.place - f.warp - f.seam; }},
      {"commit_placement", [](const FrameStages& f) { return f.commit; }},
      {"sum of the steps", [](const FrameStages& f) { return f.steps(); }},
      {"memcpy of the old panorama", kPanoramaCopy},
  };
  return list;
}

std::string ms(double value) { return std::isfinite(value) ? cv::format("%.2f", value) : "-"; }
std::string ratio(double value) { return std::isfinite(value) ? cv::format("%.2fx", value) : "-"; }

// Frame by frame, the median over passes of what `value_of(pass, frame)` gives.
std::vector<double> frame_medians(size_t passes, size_t frames, const std::function<double(size_t, size_t)>& value_of) {
  std::vector<double> medians;
  for (size_t frame = 0; frame < frames; ++frame) {
    std::vector<double> values;
    for (size_t pass = 0; pass < passes; ++pass) values.push_back(value_of(pass, frame));
    medians.push_back(median(values));
  }
  return medians;
}

std::vector<double> stitch_medians(const std::vector<StitchRun>& runs) {
  return frame_medians(runs.size(), runs.front().frame_ms.size(),
                       [&](size_t pass, size_t frame) { return runs[pass].frame_ms[frame]; });
}

std::vector<double> stage_medians(const std::vector<StageRun>& runs, const StageValue& value) {
  return frame_medians(runs.size(), runs.front().frames.size(),
                       [&](size_t pass, size_t frame) { return value(runs[pass].frames[frame]); });
}

// The values at `indices`.
std::vector<double> picked(const std::vector<double>& values, const std::vector<size_t>& indices) {
  std::vector<double> result;
  for (size_t i : indices) result.push_back(values[i]);
  return result;
}

std::vector<size_t> frames_where(const StageRun& run, const std::function<bool(const FrameStages&)>& keep) {
  std::vector<size_t> indices;
  for (size_t i = 0; i < run.frames.size(); ++i)
    if (keep(run.frames[i])) indices.push_back(i);
  return indices;
}

std::vector<size_t> placed_frames(const StageRun& run) {
  return frames_where(run, [](const FrameStages& f) { return f.placed; });
}

std::vector<size_t> index_range(size_t first, size_t last) {
  std::vector<size_t> indices(last + 1 - first);
  std::iota(indices.begin(), indices.end(), first);
  return indices;
}

bool measured_both_ways(const Measurements& m, const std::string& name) {
  return m.stitched.count(name) && m.driven.count(name);
}

std::vector<std::string> reported_names(const std::vector<Sweep>& sweeps, const Measurements& m) {
  std::vector<std::string> names;
  for (const Sweep& sweep : sweeps)
    if (measured_both_ways(m, sweep.name)) names.push_back(sweep.name);
  return names;
}

void print_stage_table(std::ostream& out, const std::vector<std::string>& names, const Measurements& m) {
  out << "### Per-stage time, median ms over the placed frames (each frame: median over passes)\n\n";
  Row header{"step"};
  header.insert(header.end(), names.begin(), names.end());
  std::vector<Row> rows;
  for (const Stage& stage : stages()) {
    Row row{stage.label};
    for (const std::string& name : names) {
      const auto& runs = m.driven.at(name);
      row.push_back(ms(median(picked(stage_medians(runs, stage.value), placed_frames(runs.front())))));
    }
    rows.push_back(row);
  }
  Row end_to_end{"ofcheck_stitch, end to end"};
  for (const std::string& name : names)
    end_to_end.push_back(
        ms(median(picked(stitch_medians(m.stitched.at(name)), placed_frames(m.driven.at(name).front())))));
  rows.push_back(end_to_end);
  print_markdown_table(out, header, rows);
}

void print_latency_table(std::ostream& out, const std::vector<std::string>& names, const Measurements& m) {
  out << "### Per-frame latency of ofcheck_stitch, ms (every frame of every pass)\n\n";
  std::vector<Row> rows;
  for (const std::string& name : names) {
    const auto& runs = m.stitched.at(name);
    std::vector<double> all;
    for (const StitchRun& run : runs) all.insert(all.end(), run.frame_ms.begin(), run.frame_ms.end());
    const double mean = std::accumulate(all.begin(), all.end(), 0.0) / all.size();
    rows.push_back({name, std::to_string(runs.front().frame_ms.size()), std::to_string(runs.size()), ms(mean),
                    ms(percentile(all, 0.5)), ms(percentile(all, 0.9)), ms(percentile(all, 0.99)),
                    ms(percentile(all, 1.0))});
  }
  print_markdown_table(out, {"sweep", "frames", "passes", "mean", "p50", "p90", "p99", "max"}, rows);
}

// Frame-by-frame medians of a sweep that the growth and target figures use.
// Frames that were not placed have no placement time: NaN.
struct SweepCurves {
  std::vector<double> frame;  // ofcheck_stitch
  std::vector<double> place;
  std::vector<double> warp;
  std::vector<double> seam;
  std::vector<double> copy;
  const StageRun* first_pass = nullptr;
};

std::vector<double> placed_only(std::vector<double> values, const StageRun& run) {
  for (size_t i = 0; i < values.size(); ++i)
    if (!run.frames[i].placed) values[i] = std::nan("");
  return values;
}

SweepCurves curves_of(const Measurements& m, const std::string& name) {
  const auto& driven = m.driven.at(name);
  const StageRun& first = driven.front();
  const auto placed_curve = [&](const StageValue& value) { return placed_only(stage_medians(driven, value), first); };
  return {stitch_medians(m.stitched.at(name)), placed_curve(kPlace), placed_curve(kWarp), placed_curve(kSeam),
          placed_curve(kPanoramaCopy), &first};
}

// Keypoints of the frames before `indices`: the points each of them tracks.
std::string tracked_keypoints(const StageRun& run, const std::vector<size_t>& indices) {
  std::vector<double> counts;
  for (size_t i : indices)
    if (i > 0) counts.push_back(run.frames[i - 1].keypoints);
  return cv::format("%.0f", median(counts));
}

std::string patch_size(const StageRun& run, const std::vector<size_t>& indices) {
  std::vector<double> cols, rows;
  for (size_t i : indices) {
    cols.push_back(run.frames[i].patch.width);
    rows.push_back(run.frames[i].patch.height);
  }
  return cv::format("%.0fx%.0f", median(cols), median(rows));
}

Row growth_row(const SweepCurves& c, int bucket, const std::vector<size_t>& indices) {
  const double place = median(picked(c.place, indices)), copy = median(picked(c.copy, indices));
  const double warp = median(picked(c.warp, indices)), seam = median(picked(c.seam, indices));
  return {cv::format("%d-%d", bucket * kGrowthBucket, (bucket + 1) * kGrowthBucket - 1),
          cv::format("%zu-%zu", indices.front(), indices.back()),
          tracked_keypoints(*c.first_pass, indices),
          patch_size(*c.first_pass, indices),
          ms(median(picked(c.frame, indices))),
          ms(place),
          ms(warp),
          ms(seam),
          ms(place - warp - seam),
          ms(copy),
          ratio(place / copy)};
}

void print_growth_table(std::ostream& out, const SweepCurves& c) {
  out << "### Growth: per-frame time against canvas columns (placed frames, medians; warp and seam replayed)\n\n";
  std::map<int, std::vector<size_t>> buckets;
  for (size_t i : placed_frames(*c.first_pass))
    buckets[c.first_pass->frames[i].canvas_cols / kGrowthBucket].push_back(i);
  std::vector<Row> rows;
  for (const auto& [bucket, indices] : buckets) rows.push_back(growth_row(c, bucket, indices));
  print_markdown_table(out,
                       {"canvas columns", "frames", "points tracked", "patch", "ofcheck_stitch", "place_frame", "warp", "seam",
                        "rest", "memcpy old panorama", "place_frame / memcpy"},
                       rows);
}

std::string frames_context(const SweepCurves& c, const std::vector<size_t>& indices) {
  return cv::format("frames %zu-%zu: %s points tracked, patch %s", indices.front(), indices.back(),
                    tracked_keypoints(*c.first_pass, indices).c_str(), patch_size(*c.first_pass, indices).c_str());
}

Row late_against_early(const std::string& label, const std::vector<double>& curve, const SweepCurves& c,
                       const std::vector<size_t>& early, const std::vector<size_t>& late) {
  const double early_ms = median(picked(curve, early)), late_ms = median(picked(curve, late));
  return {label, ms(late_ms) + " / " + ms(early_ms) + " ms", ratio(late_ms / early_ms),
          frames_context(c, late) + "; " + frames_context(c, early)};
}

void print_targets(std::ostream& out, const SweepCurves& c) {
  out << "### Targets on the long sweep\n\n";
  const size_t frames = c.frame.size();
  std::vector<Row> rows;
  if (frames >= 41) {
    const std::vector<size_t> early = index_range(20, 30), late = index_range(frames - 10, frames - 1);
    rows.push_back(late_against_early("flat cost: ofcheck_stitch, last ten frames / frames 20-30", c.frame, c,
                                      early, late));
    rows.push_back(late_against_early("the same for place_frame alone", c.place, c, early, late));
  }
  const std::vector<size_t> wide =
      frames_where(*c.first_pass, [](const FrameStages& f) { return f.placed && f.canvas_cols >= kWideCanvas; });
  if (!wide.empty()) {
    const double place = median(picked(c.place, wide)), copy = median(picked(c.copy, wide));
    rows.push_back({cv::format("near the limit: place_frame / memcpy of the old panorama, canvas %d+ columns",
                               kWideCanvas),
                    ms(place) + " / " + ms(copy) + " ms", ratio(place / copy), frames_context(c, wide)});
  }
  print_markdown_table(out, {"target", "values", "ratio", "frames"}, rows);
}

bool same_image(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0.0);
}

void print_agreement(std::ostream& out, const std::vector<std::string>& names, const Measurements& m) {
  out << "### Stage driver against ofcheck_stitch (first passes)\n\n";
  std::vector<Row> rows;
  for (const std::string& name : names) {
    const StitchRun& stitched = m.stitched.at(name).front();
    const StageRun& driven = m.driven.at(name).front();
    bool same_results = true;
    for (size_t i = 0; i < driven.frames.size(); ++i) same_results &= driven.frames[i].result == stitched.results[i];
    const size_t agreeing = frames_where(driven, [](const FrameStages& f) { return f.fit_agrees; }).size();
    const size_t refused = frames_where(driven, [](const FrameStages& f) { return f.result <= 0; }).size();
    rows.push_back({name, same_results ? "yes" : "NO", same_image(driven.panorama, stitched.panorama) ? "yes" : "NO",
                    cv::format("%zu of %zu", agreeing, driven.frames.size()), std::to_string(refused),
                    cv::format("%dx%d", stitched.panorama.cols, stitched.panorama.rows)});
  }
  print_markdown_table(out,
                       {"sweep", "same results", "same panorama", "replayed fit identical", "frames refused",
                        "panorama"},
                       rows);
}

}  // namespace

void print_report(std::ostream& out, const std::vector<Sweep>& sweeps, const Measurements& measured) {
  const std::vector<std::string> names = reported_names(sweeps, measured);
  if (names.empty()) return;
  out << "\n";
  print_stage_table(out, names, measured);
  print_latency_table(out, names, measured);
  if (measured_both_ways(measured, "long_sweep")) {
    const SweepCurves curves = curves_of(measured, "long_sweep");
    print_growth_table(out, curves);
    print_targets(out, curves);
  }
  print_agreement(out, names, measured);
}

cv::Mat frame_time_chart(const Measurements& measured, const std::string& name) {
  const SweepCurves c = curves_of(measured, name);
  const int last_cols = c.first_pass->frames.back().canvas_cols;
  std::vector<double> canvas_cols;
  for (const FrameStages& f : c.first_pass->frames) canvas_cols.push_back(f.canvas_cols);
  const ChartText text{cv::format("%s: per-frame time, median of %zu passes (canvas grows to %d columns)",
                                  name.c_str(), measured.stitched.at(name).size(), last_cols),
                       "frame index", "ms", "canvas columns", canvas_cols};
  return draw_line_chart(text, {{"ofcheck_stitch, whole frame", c.frame, cv::Scalar(180, 90, 20)},
                                {"place_frame (canvas part)", c.place, cv::Scalar(20, 120, 240)},
                                {"memcpy of the old panorama", c.copy, cv::Scalar(130, 130, 130)}});
}

}  // namespace zemb_bench
