#include "bench_report.h"

#include <cmath>
#include <functional>
#include <numeric>

#include "frame_chart.h"

namespace zemb_bench {

namespace {

using Row = std::vector<std::string>;
using Curve = std::vector<double>;  // a value a frame, the median over passes; NaN where there is none
using StageValue = std::function<double(const FrameStages&)>;

const std::string kLongSweep = "long_sweep";
constexpr int kGrowthBucket = 1000;  // canvas columns per row of the growth table
constexpr int kWideCanvas = 7000;    // columns from which a canvas counts as near the limit

struct Figure {
  std::string label;
  StageValue value;
};

const StageValue kPlacement = [](const FrameStages& f) { return f.placement(); };
const StageValue kCopy = [](const FrameStages& f) { return f.panorama_copy; };
const std::string kCopyLabel = "memcpy of the old panorama";

StageValue step_value(FixedStep step) {
  return [step](const FrameStages& f) { return f.at(step); };
}

std::string ms(double value) { return std::isfinite(value) ? cv::format("%.2f", value) : "-"; }

const StageRun& first_pass(const Measurements& m, const std::string& name) { return m.driven.at(name).front(); }

Curve stitch_curve(const Measurements& m, const std::string& name) {
  std::vector<Curve> passes;
  for (const StitchRun& run : m.stitched.at(name)) passes.push_back(run.frame_ms);
  return frame_medians(passes);
}

// A stage driver figure, on the frames the driver placed.
Curve stage_curve(const Measurements& m, const std::string& name, const StageValue& value) {
  std::vector<Curve> passes;
  for (const StageRun& run : m.driven.at(name)) {
    Curve& pass = passes.emplace_back();
    for (const FrameStages& f : run.frames) pass.push_back(f.placed ? value(f) : std::nan(""));
  }
  return frame_medians(passes);
}

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

void print_stage_table(std::ostream& out, const std::vector<std::string>& names, const Measurements& m) {
  out << "### Per-stage time, median ms over the placed frames (each frame: median over passes)\n\n";
  std::vector<Figure> figures;
  for (int step = 0; step < kSteps; ++step)
    figures.push_back({kStepNames[step], step_value(static_cast<FixedStep>(step))});
  figures.push_back({"sum of the steps", [](const FrameStages& f) { return f.total(); }});
  figures.push_back({kCopyLabel, kCopy});
  Row header{"step"}, end_to_end{"ofcheck_stitch, end to end"};
  std::vector<Row> rows;
  for (const Figure& figure : figures) rows.push_back({figure.label});
  for (const std::string& name : names) {
    header.push_back(name);
    const std::vector<size_t> placed = placed_frames(first_pass(m, name));
    for (size_t i = 0; i < figures.size(); ++i)
      rows[i].push_back(ms(median_at(stage_curve(m, name, figures[i].value), placed)));
    end_to_end.push_back(ms(median_at(stitch_curve(m, name), placed)));
  }
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
    Row row{name, std::to_string(runs.front().frame_ms.size()), std::to_string(runs.size())};
    for (double share : {0.5, 0.9, 0.99, 1.0}) row.push_back(ms(percentile(all, share)));
    rows.push_back(row);
  }
  print_markdown_table(out, {"sweep", "frames", "passes", "p50", "p90", "p99", "max"}, rows);
}

// The frames at `indices` and their load: the points each one tracks (the
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
  Row header{"canvas columns", "frames", "points tracked", "patch", "ofcheck_stitch"};
  std::vector<Curve> curves{stitch_curve(m, kLongSweep)};
  const std::vector<Figure> figures = {{"placement", kPlacement},
                                       {"compose", step_value(FixedStep::kCompose)},
                                       {"warp", step_value(FixedStep::kWarp)},
                                       {"lay", step_value(FixedStep::kLay)},
                                       {"memcpy", kCopy}};
  for (const Figure& figure : figures) {
    header.push_back(figure.label);
    curves.push_back(stage_curve(m, kLongSweep, figure.value));
  }
  std::vector<Row> rows;
  for (const auto& [bucket, indices] : buckets) {
    rows.push_back({cv::format("%d-%d", bucket * kGrowthBucket, (bucket + 1) * kGrowthBucket - 1)});
    const Row load = frames_load(first, indices);
    rows.back().insert(rows.back().end(), load.begin(), load.end());
    for (const Curve& curve : curves) rows.back().push_back(ms(median_at(curve, indices)));
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
  const Curve stitch = stitch_curve(m, kLongSweep), placement = stage_curve(m, kLongSweep, kPlacement);
  const size_t frames = stitch.size();
  if (frames >= 41) {
    std::vector<size_t> early(11), late(10);
    std::iota(early.begin(), early.end(), 20);
    std::iota(late.begin(), late.end(), frames - 10);
    out << "- Flat cost, last ten frames / frames 20-30: ofcheck_stitch " << against(stitch, late, stitch, early)
        << "; placement " << against(placement, late, placement, early) << "\n";
  }
  const StageRun& first = first_pass(m, kLongSweep);
  const std::vector<size_t> wide =
      frames_where(first, [](const FrameStages& f) { return f.placed && f.canvas_cols >= kWideCanvas; });
  if (!wide.empty()) {
    const Row load = frames_load(first, wide);
    out << cv::format("- Near the limit (canvas of %d+ columns, frames %s, patch %s): placement / %s ", kWideCanvas,
                      load[0].c_str(), load[2].c_str(), kCopyLabel.c_str())
        << against(placement, wide, stage_curve(m, kLongSweep, kCopy), wide) << "\n";
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
  out << "Watched steps leave the panorama as unwatched ones do (first passes):";
  for (const std::string& name : names) {
    const bool same = same_image(first_pass(measured, name).panorama, measured.stitched.at(name).front().panorama);
    out << (name == names.front() ? " " : ", ") << name << (same ? " yes" : " NO");
  }
  out << "\n";
}

cv::Mat frame_time_chart(const Measurements& measured, const std::string& name) {
  std::vector<double> canvas_cols;
  for (const FrameStages& f : first_pass(measured, name).frames) canvas_cols.push_back(f.canvas_cols);
  return draw_frame_chart(cv::format("%s: per-frame time, median of %zu passes (canvas grows to %.0f columns)",
                                     name.c_str(), measured.stitched.at(name).size(), canvas_cols.back()),
                          {{"ofcheck_stitch, whole frame", stitch_curve(measured, name), {180, 90, 20}},
                           {"placement: plan, compose, warp, lay", stage_curve(measured, name, kPlacement),
                            {20, 120, 240}},
                           {kCopyLabel, stage_curve(measured, name, kCopy), {130, 130, 130}}},
                          canvas_cols);
}

}  // namespace zemb_bench
