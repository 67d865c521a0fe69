#include "bench_report.h"

#include <cmath>
#include <functional>
#include <numeric>

#include "frame_chart.h"

namespace zemb_bench {

namespace {

using Row = std::vector<std::string>;
using Curve = std::vector<double>;  // a value a frame, the median over passes; NaN where there is none
using CurveOf = std::function<Curve(const Measurements&, const std::string&)>;

const std::string kLongSweep = "long_sweep";
constexpr int kGrowthBucket = 1000;  // canvas columns per row of the growth table
constexpr int kWideCanvas = 7000;    // columns from which a canvas counts as near the limit

struct Series {
  std::string label;
  CurveOf curve;
};

std::string ms(double value) { return std::isfinite(value) ? cv::format("%.2f", value) : "-"; }

// Frame by frame, the median over passes of `value_of(pass, frame)`.
template <typename Run, typename Value>
Curve frame_medians(const std::vector<Run>& runs, size_t frames, const Value& value_of) {
  Curve medians;
  for (size_t frame = 0; frame < frames; ++frame) {
    std::vector<double> values;
    for (const Run& run : runs) values.push_back(value_of(run, frame));
    medians.push_back(median(values));
  }
  return medians;
}

const StageRun& first_pass(const Measurements& m, const std::string& name) { return m.driven.at(name).front(); }

Curve stitch_curve(const Measurements& m, const std::string& name) {
  const auto& runs = m.stitched.at(name);
  return frame_medians(runs, runs.front().frame_ms.size(),
                       [](const StitchRun& run, size_t frame) { return run.frame_ms[frame]; });
}

// A stage driver figure, on the frames the driver placed.
CurveOf stage_curve(const std::function<double(const FrameStages&)>& value) {
  return [value](const Measurements& m, const std::string& name) {
    const auto& runs = m.driven.at(name);
    Curve curve = frame_medians(runs, runs.front().frames.size(),
                                [&](const StageRun& run, size_t frame) { return value(run.frames[frame]); });
    for (size_t i = 0; i < curve.size(); ++i)
      if (!runs.front().frames[i].placed) curve[i] = std::nan("");
    return curve;
  };
}

CurveOf step_curve(int step) {
  return stage_curve([step](const FrameStages& f) { return f.ms[step]; });
}

const CurveOf kPlacement = stage_curve([](const FrameStages& f) { return f.placement(); });
const CurveOf kCopy = stage_curve([](const FrameStages& f) { return f.panorama_copy; });
const std::string kCopyLabel = "memcpy of the old panorama";

// The median of `curve` over the frames at `indices` that have a value.
double median_at(const Curve& curve, const std::vector<size_t>& indices) {
  std::vector<double> values;
  for (size_t i : indices)
    if (std::isfinite(curve[i])) values.push_back(curve[i]);
  return median(values);
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

void print_stage_table(std::ostream& out, const std::vector<std::string>& names, const Measurements& m) {
  out << "### Per-stage time, median ms over the placed frames (each frame: median over passes)\n\n";
  std::vector<Series> series;
  for (int step = 0; step < kSteps; ++step) series.push_back({step_name(step), step_curve(step)});
  series.push_back({"sum of the steps", stage_curve([](const FrameStages& f) { return f.total(); })});
  series.push_back({kCopyLabel, kCopy});
  series.push_back({"ofcheck_stitch, end to end", stitch_curve});
  Row header{"step"};
  header.insert(header.end(), names.begin(), names.end());
  std::vector<Row> rows;
  for (const Series& s : series) {
    Row row{s.label};
    for (const std::string& name : names)
      row.push_back(ms(median_at(s.curve(m, name), placed_frames(first_pass(m, name)))));
    rows.push_back(row);
  }
  print_markdown_table(out, header, rows);
}

void print_latency_table(std::ostream& out, const std::vector<std::string>& names, const Measurements& m) {
  out << "### Per-frame latency of ofcheck_stitch, ms (every frame of every pass)\n\n";
  std::vector<Row> rows;
  for (const std::string& name : names) {
    const auto& runs = m.stitched.at(name);
    std::vector<double> all;
    for (const StitchRun& run : runs) all.insert(all.end(), run.frame_ms.begin(), run.frame_ms.end());
    Row row{name, std::to_string(runs.front().frame_ms.size()), std::to_string(runs.size())};
    for (double share : {0.5, 0.9, 0.99, 1.0}) row.push_back(ms(percentile(all, share)));
    rows.push_back(row);
  }
  print_markdown_table(out, {"sweep", "frames", "passes", "p50", "p90", "p99", "max"}, rows);
}

// The load of the frames at `indices`: the points each one tracks (the
// keypoints of the frame before) and its patch, medians.
Row frames_load(const StageRun& run, const std::vector<size_t>& indices) {
  std::vector<double> points, cols, rows;
  for (size_t i : indices) {
    if (i > 0) points.push_back(run.frames[i - 1].keypoints);
    cols.push_back(run.frames[i].patch.width);
    rows.push_back(run.frames[i].patch.height);
  }
  return {cv::format("%zu-%zu", indices.front(), indices.back()), cv::format("%.0f", median(points)),
          cv::format("%.0fx%.0f", median(cols), median(rows))};
}

void print_growth_table(std::ostream& out, const Measurements& m) {
  out << "### Growth: per-frame time against canvas columns (placed frames, medians)\n\n";
  const StageRun& first = first_pass(m, kLongSweep);
  std::map<int, std::vector<size_t>> buckets;
  for (size_t i : placed_frames(first)) buckets[first.frames[i].canvas_cols / kGrowthBucket].push_back(i);
  const std::vector<Series> series{{"ofcheck_stitch", stitch_curve}, {"placement", kPlacement},
                                   {"compose", step_curve(kCompose)}, {"warp", step_curve(kWarp)},
                                   {"lay", step_curve(kLay)},         {"memcpy", kCopy}};
  Row header{"canvas columns", "frames", "points tracked", "patch"};
  std::vector<Curve> curves;
  for (const Series& s : series) {
    header.push_back(s.label);
    curves.push_back(s.curve(m, kLongSweep));
  }
  std::vector<Row> rows;
  for (const auto& [bucket, indices] : buckets) {
    Row row = frames_load(first, indices);
    row.insert(row.begin(), cv::format("%d-%d", bucket * kGrowthBucket, (bucket + 1) * kGrowthBucket - 1));
    for (const Curve& curve : curves) row.push_back(ms(median_at(curve, indices)));
    rows.push_back(row);
  }
  print_markdown_table(out, header, rows);
}

// "a / b ms: **a/b x**", medians of `a` and `b` over their frames.
std::string against(const Curve& a, const std::vector<size_t>& at_a, const Curve& b, const std::vector<size_t>& at_b) {
  const double x = median_at(a, at_a), y = median_at(b, at_b);
  return ms(x) + " / " + ms(y) + cv::format(" ms: **%.2fx**", x / y);
}

void print_targets(std::ostream& out, const Measurements& m) {
  out << "### Targets on the long sweep\n\n";
  const Curve stitch = stitch_curve(m, kLongSweep), placement = kPlacement(m, kLongSweep);
  const size_t frames = stitch.size();
  if (frames >= 41) {
    const std::vector<size_t> early = index_range(20, 30), late = index_range(frames - 10, frames - 1);
    out << "- Flat cost, last ten frames / frames 20-30: ofcheck_stitch " << against(stitch, late, stitch, early)
        << "; placement " << against(placement, late, placement, early) << "\n";
  }
  const std::vector<size_t> wide = frames_where(
      first_pass(m, kLongSweep), [](const FrameStages& f) { return f.placed && f.canvas_cols >= kWideCanvas; });
  if (!wide.empty()) {
    const Row load = frames_load(first_pass(m, kLongSweep), wide);
    out << cv::format("- Near the limit (canvas of %d+ columns, frames %s, patch %s): placement / memcpy of the "
                      "old panorama ",
                      kWideCanvas, load[0].c_str(), load[2].c_str())
        << against(placement, wide, kCopy(m, kLongSweep), wide) << "\n";
  }
  out << "\n";
}

bool same_image(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0.0);
}

}  // namespace

bool measured_both_ways(const Measurements& measured, const std::string& name) {
  const auto stitched = measured.stitched.find(name);
  const auto driven = measured.driven.find(name);
  return stitched != measured.stitched.end() && !stitched->second.empty() && driven != measured.driven.end() &&
         !driven->second.empty();
}

void print_report(std::ostream& out, const std::vector<Sequence>& sequences, const Measurements& measured) {
  std::vector<std::string> names;
  for (const Sequence& sequence : sequences)
    if (measured_both_ways(measured, sequence.name)) names.push_back(sequence.name);
  if (names.empty()) return;
  out << "\n";
  print_stage_table(out, names, measured);
  print_latency_table(out, names, measured);
  if (measured_both_ways(measured, kLongSweep)) {
    print_growth_table(out, measured);
    print_targets(out, measured);
  }
  out << "Stage driver's final panorama is ofcheck_stitch's (first passes):";
  for (const std::string& name : names) {
    const bool same = same_image(first_pass(measured, name).panorama, measured.stitched.at(name).front().panorama);
    out << (name == names.front() ? " " : ", ") << name << (same ? " yes" : " NO");
  }
  out << "\n";
}

cv::Mat frame_time_chart(const Measurements& measured, const std::string& name) {
  std::vector<double> canvas_cols;
  for (const FrameStages& f : first_pass(measured, name).frames) canvas_cols.push_back(f.canvas_cols);
  const ChartText text{cv::format("%s: per-frame time, median of %zu passes (canvas grows to %.0f columns)",
                                  name.c_str(), measured.stitched.at(name).size(), canvas_cols.back()),
                       "frame index", "ms", "canvas columns", canvas_cols};
  return draw_line_chart(text, {{"ofcheck_stitch, whole frame", stitch_curve(measured, name), {180, 90, 20}},
                                {"placement: plan, compose, warp, lay", kPlacement(measured, name), {20, 120, 240}},
                                {kCopyLabel, kCopy(measured, name), {130, 130, 130}}});
}

}  // namespace zemb_bench
