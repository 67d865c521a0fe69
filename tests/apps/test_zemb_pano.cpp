// zemb_pano and make_sweep run as a person runs them: programs started with
// arguments, judged by their exit code, their messages and the files they
// leave behind.
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "zemb/options.h"

#ifdef ZEMB_HAVE_EXIV2
#include <exiv2/exiv2.hpp>
#endif

namespace fs = std::filesystem;

namespace {

const fs::path kSweep = fs::path(ZEMB_SOURCE_DIR) / "data" / "life_sweep";

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

std::string quoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

std::string read_text(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> names_in(const fs::path& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Each test works in a scratch folder of its own, which is also the
// programs' temporary folder, so that leftovers show.
class Programs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "test_zemb_pano.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    fs::create_directory(temporary());
  }
  void TearDown() override { fs::remove_all(scratch_); }

  fs::path temporary() const { return scratch_ / "tmp"; }

  Outcome run(const std::string& program, const std::vector<std::string>& args) const {
    std::string command = "TMPDIR=" + quoted(temporary().string()) + " " + quoted(program);
    for (const std::string& arg : args) command += " " + quoted(arg);
    command += " >" + quoted((scratch_ / "stdout").string()) + " 2>" + quoted((scratch_ / "stderr").string());
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_text(scratch_ / "stdout"),
            read_text(scratch_ / "stderr")};
  }

  fs::path scratch_;
};

#ifdef ZEMB_PANO

// The value after `label` on the summary line that starts with it.
std::string summary_value(const std::string& summary, const std::string& label) {
  std::istringstream lines(summary);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(label + " ", 0) == 0) return line.substr(line.find_first_not_of(' ', label.size()));
  ADD_FAILURE() << "no summary line '" << label << "' in:\n" << summary;
  return "";
}

int summary_count(const std::string& summary, const std::string& label) {
  return std::atoi(summary_value(summary, label).c_str());
}

// The frames named on the line under the summary line of `label` ("3, 7-9"),
// or "" when none are.
std::string summary_frames(const std::string& summary, const std::string& label) {
  std::istringstream lines(summary);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(label + " ", 0) == 0 && std::getline(lines, line) && line.rfind("  frames ", 0) == 0)
      return line.substr(9);
  return "";
}

// "W x H" after `label`.
cv::Size summary_size(const std::string& summary, const std::string& label) {
  cv::Size size;
  char times = 0;
  std::istringstream(summary_value(summary, label)) >> size.width >> times >> size.height;
  return size;
}

std::vector<std::string> sweep_frames() {
  std::vector<std::string> frames;
  for (const fs::directory_entry& entry : fs::directory_iterator(kSweep)) frames.push_back(entry.path().string());
  std::sort(frames.begin(), frames.end());
  return frames;
}

bool same_pixels(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

class ZembPano : public Programs {
 protected:
  Outcome pano(const std::vector<std::string>& args) const { return run(ZEMB_PANO, args); }
};

TEST_F(ZembPano, StitchesTheBundledSweepIntoConsistentResults) {
  const fs::path out = scratch_ / "out";
  const Outcome result = pano({kSweep.string(), "-o", out.string(), "--outlines"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(names_in(out), (std::vector<std::string>{"cropped.png", "outlines.png", "panorama.png"}));
  EXPECT_TRUE(names_in(temporary()).empty()) << "the stitcher's working folder was left behind";

  const std::string& summary = result.out;
  const int read = summary_count(summary, "frames read");
  const int accepted = summary_count(summary, "accepted");
  EXPECT_EQ(read, 30);
  EXPECT_GE(accepted, 25);
  EXPECT_EQ(read, accepted + summary_count(summary, "refused, too few keypoints") +
                      summary_count(summary, "refused, too few tracked points") +
                      summary_count(summary, "refused, did not extend the panorama") +
                      summary_count(summary, "refused, could not be placed"));
  EXPECT_NE(summary_value(summary, "time per frame").find("median"), std::string::npos);

  const cv::Mat panorama = cv::imread((out / "panorama.png").string());
  const cv::Mat cropped = cv::imread((out / "cropped.png").string());
  const cv::Mat outlines = cv::imread((out / "outlines.png").string());
  EXPECT_EQ(panorama.size(), summary_size(summary, "panorama"));
  EXPECT_EQ(cropped.size(), summary_size(summary, "cropped band"));
  EXPECT_GT(panorama.cols, 2 * 281) << "30 frames of 281 columns, 19 apart, should span far more than two";
  // The band is the panorama's own pixels from its left edge.
  bool band_found = false;
  for (int top = 0; top + cropped.rows <= panorama.rows && !band_found; ++top)
    band_found = same_pixels(panorama(cv::Rect(0, top, cropped.cols, cropped.rows)), cropped);
  EXPECT_TRUE(band_found) << "cropped.png is not a band of panorama.png";
  ASSERT_EQ(outlines.size(), panorama.size());
  // Only the first frame covers the panorama's first columns, wherever later
  // frames moved it: its outline runs along its top and bottom there.
  const int column = 5;
  std::vector<int> covered, drawn;
  for (int y = 0; y < panorama.rows; ++y) {
    if (panorama.at<cv::Vec3b>(y, column) != cv::Vec3b(0, 0, 0)) covered.push_back(y);
    if (outlines.at<cv::Vec3b>(y, column) != panorama.at<cv::Vec3b>(y, column)) drawn.push_back(y);
  }
  ASSERT_FALSE(covered.empty());
  const int top = covered.front(), bottom = covered.back() + 1;
  EXPECT_GT(top, 0) << "the sweep's first frame should have been moved down by later ones";
  const auto near = [](int y, int edge) { return std::abs(y - edge) <= 3; };
  EXPECT_TRUE(std::any_of(drawn.begin(), drawn.end(), [&](int y) { return near(y, top); }));
  EXPECT_TRUE(std::any_of(drawn.begin(), drawn.end(), [&](int y) { return near(y, bottom); }));
  EXPECT_EQ(std::count_if(drawn.begin(), drawn.end(), [&](int y) { return !near(y, top) && !near(y, bottom); }), 0)
      << "outline rows elsewhere in the first columns";
}

struct BadRun {
  const char* what;
  std::vector<std::string> args;
  int code;
  std::vector<std::string> message_parts;
};

TEST_F(ZembPano, RefusesBadRunsWithOneLineAndTheirExitCode) {
  const std::vector<std::string> frames = sweep_frames();
  const std::string scratch = scratch_.string(), out = scratch + "/out";
  fs::create_directory(scratch_ / "empty");
  std::ofstream(scratch_ / "empty" / "notes.txt") << "no pictures here\n";
  std::ofstream(scratch_ / "notes.mkv") << "not a video\n";
  cv::Mat small;
  cv::resize(cv::imread(frames[1]), small, cv::Size(320, 180));
  cv::imwrite(scratch + "/small.jpg", small);
  cv::imwrite(scratch + "/grey1.png", cv::Mat(360, 640, CV_8UC3, cv::Scalar::all(128)));
  cv::imwrite(scratch + "/grey2.png", cv::Mat(360, 640, CV_8UC3, cv::Scalar::all(129)));
  // A folder whose third image, decoded while the first is stitched, is a
  // bitmap's signature and nothing a decoder can read.
  fs::create_directory(scratch_ / "broken");
  for (int i : {0, 1, 3, 4}) fs::copy_file(frames[std::size_t(i)], scratch_ / "broken" / cv::format("f%d.jpg", i));
  std::ofstream(scratch_ / "broken" / "f2.bmp", std::ios::binary) << "BMnot a bitmap at all";
  // A photo copied only in part: the decoder would fill the rest with grey.
  std::ifstream whole(frames[1], std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(whole)), std::istreambuf_iterator<char>());
  std::ofstream(scratch_ / "cut.jpg", std::ios::binary) << bytes.substr(0, bytes.size() * 2 / 3);
  // Five overlapping frames in reverse: each lies left of the one before.
  std::vector<std::string> backwards(frames.rbegin(), frames.rbegin() + 5);
  backwards.insert(backwards.end(), {"-o", out});

  const std::vector<BadRun> cases = {
      {"unknown option", {kSweep.string(), "--fast", "-o", out}, 2, {"--fast", "--help"}},
      {"unknown surface", {kSweep.string(), "--finish", "--surface", "globe", "-o", out}, 2,
       {"--surface expects auto, plane, cylinder or sphere", "'globe'"}},
      {"unknown setting", {kSweep.string(), "--set", "recovery.patience=3", "-o", out}, 2,
       {"'recovery.patience'", "--options"}},
      {"a group is no setting", {kSweep.string(), "--set", "recovery=1", "-o", out}, 2, {"'recovery'"}},
      {"setting without a value", {kSweep.string(), "--set", "scene", "-o", out}, 2, {"NAME=VALUE", "'scene'"}},
      {"setting out of range", {kSweep.string(), "--sweep", "--set", "recovery.time_budget=0", "-o", out}, 2,
       {"recovery.time_budget is 0", "0.1 to 1000"}},
      {"setting too large for its type", {kSweep.string(), "--set", "tracking.flow.window=99999999999", "-o", out}, 2,
       {"tracking.flow.window is 99999999999", "3 to 101"}},
      {"setting not a number", {kSweep.string(), "--set", "tracking.flow.window=9.5", "-o", out}, 2,
       {"tracking.flow.window expects a whole number", "'9.5'"}},
      {"setting of no such name", {kSweep.string(), "--set", "render.blending=smooth", "-o", out}, 2,
       {"render.blending expects none, feather or multi_band", "'smooth'"}},
      {"settings that break a limit", {kSweep.string(), "--set", "detection.threshold_floor=60", "-o", out}, 2,
       {"threshold_floor is 60", "fast_threshold"}},
      {"missing input", {scratch + "/missing.mp4", "-o", out}, 3, {"missing.mp4", "No such file"}},
      {"folder without images", {scratch + "/empty", "-o", out}, 3, {"empty", "no images"}},
      {"not a video", {scratch + "/notes.mkv", "-o", out}, 3, {"notes.mkv", "neither a video nor an image"}},
      {"frame of another size", {frames[0], scratch + "/small.jpg", "-o", out}, 3, {"small.jpg", "640x360"}},
      {"photo cut short", {frames[0], scratch + "/cut.jpg", "--finish", "-o", out}, 3, {"cut.jpg", "cut short"}},
      {"output inside a file", {kSweep.string(), "-o", scratch + "/notes.mkv/out"}, 4, {"notes.mkv/out"}},
      {"output is a file", {kSweep.string(), "-o", scratch + "/notes.mkv"}, 4, {"notes.mkv", "not a folder"}},
      {"sweep the wrong way", backwards, 5, {"no frame could be placed", "after the first"}},
      {"nothing to track", {scratch + "/grey1.png", scratch + "/grey2.png", "-o", out}, 5, {"enough keypoints"}},
  };
  for (const BadRun& bad : cases) {
    SCOPED_TRACE(bad.what);
    const Outcome result = pano(bad.args);
    EXPECT_EQ(result.code, bad.code);
    EXPECT_EQ(result.err.rfind("zemb_pano: ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    for (const std::string& part : bad.message_parts) EXPECT_NE(result.err.find(part), std::string::npos) << result.err;
    EXPECT_TRUE(names_in(out).empty()) << "files left in the output folder";
    EXPECT_TRUE(names_in(temporary()).empty()) << "the stitcher's working folder was left behind";
  }
  // OpenCV's imread says on stderr itself why it could not read a header;
  // this program's line comes last.
  const Outcome broken = pano({scratch + "/broken", "-o", out});
  EXPECT_EQ(broken.code, 3);
  const std::size_t ours = broken.err.rfind("zemb_pano: ");
  ASSERT_NE(ours, std::string::npos) << broken.err;
  const std::string last_line = broken.err.substr(ours);
  EXPECT_NE(last_line.find("f2.bmp: cannot be decoded"), std::string::npos) << broken.err;
  EXPECT_EQ(std::count(last_line.begin(), last_line.end(), '\n'), 1) << broken.err;
  EXPECT_TRUE(names_in(out).empty()) << "files left in the output folder";
}

// What --options says of one setting.
struct Listed {
  std::string value;
  std::string range;  // "16 to 8192", "true or false", "auto, plane or cylinder"
  std::string description;  // its lines joined by spaces
};

// --options's paragraphs by setting: "path = value  (range)", then the
// description's lines, indented.
std::map<std::string, Listed> listed_options(const std::string& listing) {
  std::map<std::string, Listed> listed;
  std::istringstream lines(listing);
  Listed* last = nullptr;
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find(" = "), open = line.find("  ("), text = line.find_first_not_of(' ');
    if (text > 0 && last != nullptr) {
      last->description += (last->description.empty() ? "" : " ") + line.substr(text);
    } else if (equals != std::string::npos && open != std::string::npos && line.back() == ')') {
      last = &listed[line.substr(0, equals)];
      last->value = line.substr(equals + 3, open - equals - 3);
      last->range = line.substr(open + 3, line.size() - open - 4);
    } else {
      ADD_FAILURE() << "not a line of --options: " << line;
    }
  }
  return listed;
}

// A value in the field's range other than what --options listed: the other
// end of a number's range, the other truth value, the other name.
template <typename Field>
std::string other_value(double low, double high, const Listed& listed) {
  if constexpr (std::is_same_v<Field, bool>) {
    return listed.value == "true" ? "false" : "true";
  } else if constexpr (std::is_enum_v<Field>) {
    const size_t comma = listed.range.find_first_of(", ");
    const std::string first = listed.range.substr(0, comma);
    return first != listed.value ? first : listed.range.substr(listed.range.rfind(' ') + 1);
  } else {
    const double end = std::stod(listed.value) == low ? high : low;
    return std::is_integral_v<Field> ? std::to_string(static_cast<long long>(end)) : cv::format("%.17g", end);
  }
}

// Two spellings of one value: equal numbers, or the same words.
bool same_value(const std::string& a, const std::string& b) {
  char* end_a = nullptr;
  char* end_b = nullptr;
  const double x = std::strtod(a.c_str(), &end_a), y = std::strtod(b.c_str(), &end_b);
  if (*end_a != '\0' || *end_b != '\0' || a.empty() || b.empty()) return a == b;
  return std::abs(x - y) <= 1e-5 * std::max(std::abs(x), std::abs(y));
}

std::string single_spaced(const std::string& text) {
  std::istringstream words(text);
  std::string spaced;
  for (std::string word; words >> word;) spaced += (spaced.empty() ? "" : " ") + word;
  return spaced;
}

// Every field of the options' own list is listed, with its default and its
// description, and --set gives each a new value, which --options then lists.
TEST_F(ZembPano, OptionsListsEverySettingAndSetTakesEachOfThem) {
  const Outcome defaults = pano({"--options"});
  ASSERT_EQ(defaults.code, 0) << defaults.err;
  const std::map<std::string, Listed> listed = listed_options(defaults.out);
  std::vector<std::string> args;
  std::map<std::string, std::string> wanted;
  // The sweep's settings by their paths, a photo set's matching after "photos.".
  const auto check_listed = [&](const std::string& prefix) {
    return [&, prefix](const std::string& field_path, const auto& field, double low, double high,
                       const char* description) {
      const std::string path = prefix + field_path;
      const auto found = listed.find(path);
      if (found == listed.end()) {
        ADD_FAILURE() << path << " is not listed";
        return;
      }
      EXPECT_EQ(found->second.description, single_spaced(description)) << path;
      using Field = std::decay_t<decltype(field)>;
      if constexpr (!std::is_enum_v<Field> && !std::is_same_v<Field, bool>) {
        EXPECT_TRUE(same_value(found->second.value, cv::format("%.17g", static_cast<double>(field)))) << path;
      }
      wanted[path] = other_value<Field>(low, high, found->second);
      args.insert(args.end(), {"--set", path + "=" + wanted[path]});
    };
  };
  const zemb::SweepOptions sweep_options;
  const zemb::PhotoMatchOptions photo_options;
  zemb::for_each_option(sweep_options, check_listed(""));
  zemb::for_each_option(photo_options, check_listed("photos."));
  EXPECT_EQ(listed.size(), wanted.size()) << "--options lists a setting the field lists do not";
  args.push_back("--options");
  const Outcome changed = pano(args);
  ASSERT_EQ(changed.code, 0) << changed.err;
  const std::map<std::string, Listed> now = listed_options(changed.out);
  for (const auto& [path, value] : wanted) {
    ASSERT_EQ(now.count(path), 1u) << path;
    EXPECT_TRUE(same_value(now.at(path).value, value)) << path << ": " << now.at(path).value << ", not " << value;
    EXPECT_NE(now.at(path).value, listed.at(path).value) << path;
  }
}

// README.md shows zemb_pano's --help as it is, between a pair of fences.
TEST_F(ZembPano, TheReadmeShowsTheHelpAsItIs) {
  const Outcome help = pano({"--help"});
  ASSERT_EQ(help.code, 0) << help.err;
  const std::string readme = read_text(fs::path(ZEMB_SOURCE_DIR) / "README.md");
  EXPECT_NE(readme.find("```text\n" + help.out + "```\n"), std::string::npos)
      << "README.md's copy of the help differs from zemb_pano --help; paste the program's output over it";
}

// A setting reaches the sweep: keyframes further apart are fewer.
TEST_F(ZembPano, SetChangesWhatTheSweepDoes) {
  const auto keyframes_with = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {kSweep.string(), "--sweep", "-o", (scratch_ / "out").string()});
    const Outcome result = pano(args);
    EXPECT_EQ(result.code, 0) << result.err;
    return summary_count(result.out, "keyframes");
  };
  const int by_default = keyframes_with({});
  EXPECT_GE(by_default, 5);
  EXPECT_LT(keyframes_with({"--set", "keyframes.share=0.9"}), by_default - 2);
}

// The same frames from a folder, from a lossless video, and picked from the
// video by --every and --max-frames, make the same panorama, bit for bit.
TEST_F(ZembPano, VideoAndImagesOfTheSameFramesGiveTheSamePanorama) {
  const std::vector<std::string> frames = sweep_frames();
  const std::string video = (scratch_ / "sweep.mkv").string();
  {
    const cv::Mat first = cv::imread(frames[0]);
    cv::VideoWriter writer(video, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), 25, first.size());
    ASSERT_TRUE(writer.isOpened()) << "this OpenCV cannot write FFV1 video";
    for (const std::string& frame : frames) writer.write(cv::imread(frame));
  }
  const auto panorama_of = [&](std::vector<std::string> args, const std::string& name) {
    const std::string out = (scratch_ / name).string();
    args.insert(args.end(), {"-o", out});
    const Outcome result = pano(args);
    EXPECT_EQ(result.code, 0) << name << ": " << result.err;
    return cv::imread(out + "/panorama.png");
  };
  const cv::Mat from_folder = panorama_of({kSweep.string()}, "folder");
  ASSERT_FALSE(from_folder.empty());
  EXPECT_TRUE(same_pixels(panorama_of({video}, "video"), from_folder));

  std::vector<std::string> picked;
  for (size_t i = 0; i < 6; ++i) picked.push_back(frames[3 * i]);
  const cv::Mat from_picked_files = panorama_of(picked, "picked");
  ASSERT_FALSE(from_picked_files.empty());
  EXPECT_TRUE(same_pixels(panorama_of({video, "--every", "3", "--max-frames", "6"}, "every"), from_picked_files));
  // Images are decoded ahead of the one asked for: ahead by --every's steps.
  EXPECT_TRUE(same_pixels(panorama_of({kSweep.string(), "--every", "3", "--max-frames", "6"}, "folder every"),
                          from_picked_files));
}

// The frames CSV, one status name a row, checked for its header and its
// consecutive indices; keyframe rows are counted aside.
struct FramesCsv {
  std::vector<std::string> statuses;
  std::vector<int> counts;
  int keyframes = 0;
};

FramesCsv read_frames_csv(const fs::path& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  EXPECT_EQ(line, "index,status,count,ms,keyframe");
  FramesCsv csv;
  while (std::getline(file, line)) {
    std::istringstream row(line);
    std::vector<std::string> fields;
    for (std::string field; std::getline(row, field, ',');) fields.push_back(field);
    if (fields.size() != 5) {
      ADD_FAILURE() << "not five fields: " << line;
      continue;
    }
    EXPECT_EQ(fields[0], std::to_string(csv.statuses.size())) << line;
    EXPECT_TRUE(fields[4] == "0" || fields[4] == "1") << line;
    csv.statuses.push_back(fields[1]);
    csv.counts.push_back(std::atoi(fields[2].c_str()));
    csv.keyframes += fields[4] == "1" ? 1 : 0;
  }
  return csv;
}

// Both runs, over frames that give several outcomes (a blank frame, frames
// that step back, a frame far ahead), count every frame once in the summary
// and in the CSV, by the same names, and only by outcomes their stitcher has.
TEST_F(ZembPano, SummaryAndFramesCsvTellTheSameOutcomes) {
  const std::vector<std::string> frames = sweep_frames();
  const std::string blank = (scratch_ / "blank.png").string();
  cv::imwrite(blank, cv::Mat(360, 640, CV_8UC3, cv::Scalar::all(128)));
  const std::vector<std::string> inputs = {frames[0], frames[1], blank,      frames[2], frames[3],
                                           frames[1], frames[4], frames[20], frames[5], frames[6]};
  const std::vector<std::pair<std::string, std::string>> lines = {
      {"accepted", "accepted"},
      {"relocalised", "relocalised"},
      {"too few keypoints", "refused, too few keypoints"},
      {"too few tracked", "refused, too few tracked points"},
      {"not extended", "refused, did not extend the panorama"},
      {"not placeable", "refused, could not be placed"}};
  for (const bool sweep : {false, true}) {
    SCOPED_TRACE(sweep ? "sweep" : "fixed stitcher");
    const fs::path csv_path = scratch_ / (sweep ? "sweep.csv" : "fixed.csv");
    std::vector<std::string> args = inputs;
    args.insert(args.end(), {"-o", (scratch_ / "out").string(), "--frames-csv", csv_path.string()});
    if (sweep) args.push_back("--sweep");
    const Outcome result = pano(args);
    ASSERT_EQ(result.code, 0) << result.err;
    const FramesCsv csv = read_frames_csv(csv_path);
    ASSERT_EQ(csv.statuses.size(), inputs.size());
    EXPECT_EQ(summary_count(result.out, "frames read"), static_cast<int>(inputs.size()));
    int named = 0;
    for (const auto& [status, label] : lines) {
      const int rows = static_cast<int>(std::count(csv.statuses.begin(), csv.statuses.end(), status));
      named += rows;
      const bool only_other_run = label == (sweep ? "refused, too few tracked points" : "relocalised");
      EXPECT_EQ(rows, only_other_run ? 0 : summary_count(result.out, label)) << status;
    }
    EXPECT_EQ(named, static_cast<int>(inputs.size())) << "a status outside the vocabulary";
    EXPECT_EQ(csv.statuses[2], "too few keypoints");
    EXPECT_EQ(csv.counts[2], 0) << "a blank frame has no keypoints";
    EXPECT_EQ(summary_frames(result.out, "refused, too few keypoints"), "3") << "the blank frame, named";
    EXPECT_EQ(summary_frames(result.out, "accepted"), "") << "only frames left out are named";
    EXPECT_GE(std::set<std::string>(csv.statuses.begin(), csv.statuses.end()).size(), 3u);
    if (sweep) {
      EXPECT_EQ(csv.keyframes, summary_count(result.out, "keyframes"));
    } else {
      EXPECT_EQ(csv.keyframes, 0) << "the fixed stitcher keeps no keyframes";
      // Its count is what ofcheck_stitch answered: -1 for a frame not extending the panorama.
      for (size_t i = 0; i < csv.statuses.size(); ++i)
        EXPECT_TRUE(csv.statuses[i] != "not extended" || csv.counts[i] == -1) << "row " << i;
    }
  }
}

// Two frames close together make one keyframe, and the render takes the
// newest placed frame as its second; a single frame makes no panorama. Either
// finished.png is written or the run fails: never success without it.
TEST_F(ZembPano, FinishWritesTheFinishedPanoramaOrFails) {
  const std::vector<std::string> frames = sweep_frames();
  const fs::path out = scratch_ / "out";
  const Outcome pair = pano({frames[0], frames[1], "--sweep", "--finish", "-o", out.string()});
  ASSERT_EQ(pair.code, 0) << pair.err;
  EXPECT_EQ(summary_count(pair.out, "keyframes"), 1) << "no longer the single-keyframe case";
  EXPECT_EQ(summary_count(pair.out, "keyframes used"), 2);
  const std::string placements = summary_value(pair.out, "placements");
  EXPECT_TRUE(placements == "refined" || ((placements.rfind("live (", 0) == 0 || placements.rfind("refined, ", 0) == 0) &&
                                          placements.size() > 7 && placements.back() == ')'))
      << placements;
  EXPECT_EQ(names_in(out), (std::vector<std::string>{"cropped.png", "finished.png", "finished_cropped.png",
                                                     "panorama.png"}));
  EXPECT_EQ(cv::imread((out / "finished.png").string()).size(), summary_size(pair.out, "finished panorama"));
  const cv::Mat cropped = cv::imread((out / "finished_cropped.png").string());
  EXPECT_EQ(cropped.size(), summary_size(pair.out, "finished, cropped"));
  const cv::Size finished = summary_size(pair.out, "finished panorama");
  EXPECT_TRUE(!cropped.empty() && cropped.cols <= finished.width && cropped.rows <= finished.height);

  const fs::path single_out = scratch_ / "single";
  const Outcome single = pano({frames[0], "--sweep", "--finish", "-o", single_out.string()});
  EXPECT_EQ(single.code, 5) << single.err;
  EXPECT_NE(single.err.find("a single frame"), std::string::npos) << single.err;
  EXPECT_TRUE(names_in(single_out).empty());
  EXPECT_TRUE(names_in(temporary()).empty()) << "the sweep's folder was left behind";
}

// --pyramid: the DeepZoom pyramid always, the flat image only when it fits;
// a pyramid already in the folder is kept and the run fails.
TEST_F(ZembPano, PyramidWritesTheDeepZoomPyramidAndTheFlatImageWhenItFits) {
  const std::vector<std::string> frames = sweep_frames();
  const fs::path out = scratch_ / "out";
  const Outcome fits = pano({frames[0], frames[1], frames[2], "--pyramid", "-o", out.string()});
  ASSERT_EQ(fits.code, 0) << fits.err;
  EXPECT_EQ(names_in(out), (std::vector<std::string>{"cropped.png", "finished.dzi", "finished.png", "finished_files",
                                                     "panorama.png"}));
  EXPECT_EQ(cv::imread((out / "finished.png").string()).size(), summary_size(fits.out, "finished panorama"));
  EXPECT_NE(fits.out.find("wrote " + (out / "finished.dzi").string()), std::string::npos) << fits.out;

  const Outcome again = pano({frames[0], frames[1], "--pyramid", "-o", out.string()});
  EXPECT_NE(again.code, 0);
  EXPECT_NE(again.err.find("finished_files is already there"), std::string::npos) << again.err;
  EXPECT_TRUE(fs::is_directory(out / "finished_files"));

  const fs::path large = scratch_ / "large";
  const Outcome too_large = pano({frames[0], frames[1], "--pyramid", "--set", "render.max_render_megapixels=0.1",
                                  "-o", large.string()});
  ASSERT_EQ(too_large.code, 0) << too_large.err;
  EXPECT_EQ(names_in(large),
            (std::vector<std::string>{"cropped.png", "finished.dzi", "finished_files", "panorama.png"}));
  EXPECT_TRUE(names_in(temporary()).empty()) << "a temporary file was left behind";
}

// --viewer: the page over the most detailed result, with the viewer's files
// beside it; the 360-degree page only for an equirectangular image.
TEST_F(ZembPano, ViewerWritesAPageOverTheResultOrRefusesWhatItCannotShow) {
  const std::vector<std::string> frames = sweep_frames();
  const fs::path out = scratch_ / "out";
  const Outcome finished = pano({frames[0], frames[1], "--finish", "--viewer", "-o", out.string()});
  ASSERT_EQ(finished.code, 0) << finished.err;
  const std::string page = read_text(out / "view.html");
  EXPECT_NE(page.find("url: \"finished.png\""), std::string::npos) << page;
  EXPECT_TRUE(fs::exists(out / "viewer" / "openseadragon" / "openseadragon.min.js"));
  EXPECT_TRUE(fs::exists(out / "viewer" / "openseadragon" / "LICENSE.txt"));

  const fs::path sphere = scratch_ / "sphere";
  const std::string not_a_sphere = (fs::path(ZEMB_PHOTO_DIR) / "life.jpg").string();
  const Outcome refused = pano({"--viewer", "--equirectangular", not_a_sphere, "-o", sphere.string()});
  EXPECT_EQ(refused.code, 3) << refused.err;
  EXPECT_NE(refused.err.find("not equirectangular"), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(sphere / "view.html"));
  EXPECT_EQ(pano({"--equirectangular", not_a_sphere}).code, 2);
  EXPECT_EQ(pano({frames[0], "--viewer", "--equirectangular", not_a_sphere}).code, 2);
}

// A turning camera inside a full-sphere photo, finished on the whole sphere:
// finished.jpg, twice as wide as high, carries the photo-sphere fields that
// panorama viewers read (read back with libexiv2); a flat scene's is no
// sphere, and the run fails; a build without libexiv2 refuses the surface
// before reading a frame.
TEST_F(ZembPano, SphereSurfaceWritesAPhotoSphere) {
  const fs::path frames = scratch_ / "frames", out = scratch_ / "out";
  const Outcome made = run(ZEMB_MAKE_SWEEP, {(fs::path(ZEMB_SOURCE_DIR) / "data/equirect/bma_park.jpg").string(),
                                             frames.string(), "--camera", "sphere", "--frame-size", "640x360",
                                             "--pan", "6", "--turn", "90", "--pitch", "10", "--roll-swing", "5"});
  ASSERT_EQ(made.code, 0) << made.err;
  const Outcome finished =
      pano({frames.string(), "--sweep", "--finish", "--surface", "sphere", "-o", out.string()});
#ifndef ZEMB_HAVE_EXIV2
  EXPECT_EQ(finished.code, 2);
  EXPECT_NE(finished.err.find("libexiv2"), std::string::npos) << finished.err;
#else
  ASSERT_EQ(finished.code, 0) << finished.err;
  EXPECT_EQ(names_in(out), (std::vector<std::string>{"cropped.png", "finished.jpg", "finished_cropped.png",
                                                     "panorama.png"}));
  const std::string path = (out / "finished.jpg").string();
  const cv::Mat sphere = cv::imread(path);
  ASSERT_EQ(sphere.cols, 2 * sphere.rows);
  const auto image = Exiv2::ImageFactory::open(path);
  image->readMetadata();
  const Exiv2::XmpData& xmp = image->xmpData();
  const std::string width = std::to_string(sphere.cols), height = std::to_string(sphere.rows);
  const std::map<std::string, std::string> expected = {
      {"ProjectionType", "equirectangular"}, {"UsePanoramaViewer", "True"},
      {"FullPanoWidthPixels", width},        {"FullPanoHeightPixels", height},
      {"CroppedAreaImageWidthPixels", width}, {"CroppedAreaImageHeightPixels", height},
      {"CroppedAreaLeftPixels", "0"},        {"CroppedAreaTopPixels", "0"}};
  for (const auto& [field, value] : expected) {
    const auto found = xmp.findKey(Exiv2::XmpKey("Xmp.GPano." + field));
    ASSERT_NE(found, xmp.end()) << field;
    EXPECT_EQ(found->toString(), value) << field;
  }
  // A flat scene's render is no sphere: the run fails and writes nothing.
  const fs::path flat_out = scratch_ / "flat";
  const Outcome flat = pano({kSweep.string(), "--sweep", "--finish", "--scene", "flat", "--surface", "sphere",
                             "-o", flat_out.string()});
  EXPECT_EQ(flat.code, 1);
  EXPECT_NE(flat.err.find("no sphere"), std::string::npos) << flat.err;
  EXPECT_TRUE(names_in(flat_out).empty());
#endif
}

// Photos with --finish are one set: every photo placed whatever its order,
// only finished.png and its crop written; a photo of another scene is named with its
// reason; a set with no two photos that join, or a single photo, exits 5.
TEST_F(ZembPano, PhotosWithFinishAreStitchedAsOneSet) {
  const fs::path photos = scratch_ / "photos";
  const Outcome made = run(ZEMB_MAKE_SWEEP, {(fs::path(ZEMB_SOURCE_DIR) / "data/equirect/bma_park.jpg").string(),
                                             photos.string(), "--camera", "sphere", "--frame-size", "240x320",
                                             "--fov", "65", "--pan", "31.7", "--turn", "158.5"});
  ASSERT_EQ(made.code, 0) << made.err;
  std::vector<std::string> shuffled = {(photos / "frame_04.jpg").string(), (photos / "frame_01.jpg").string(),
                                       (photos / "frame_06.jpg").string(), (photos / "frame_02.jpg").string(),
                                       (photos / "frame_05.jpg").string(), (photos / "frame_03.jpg").string()};
  const fs::path stranger = scratch_ / "stranger.png";
  cv::Mat other;
  cv::resize(cv::imread((kSweep / "frame_01.jpg").string()), other, cv::Size(240, 320));
  ASSERT_TRUE(cv::imwrite(stranger.string(), other));
  shuffled.push_back(stranger.string());
  const fs::path out = scratch_ / "out";
  std::vector<std::string> args = shuffled;
  for (const char* arg : {"--finish", "-o"}) args.emplace_back(arg);
  args.push_back(out.string());
  const Outcome set = pano(args);
  ASSERT_EQ(set.code, 0) << set.err;
  EXPECT_EQ(summary_count(set.out, "photos read"), 7);
  EXPECT_EQ(summary_count(set.out, "placed"), 6);
  EXPECT_EQ(summary_count(set.out, "left out"), 1);
  EXPECT_NE(set.out.find(stranger.string() + ": no confident pair"), std::string::npos) << set.out;
  EXPECT_EQ(names_in(out), (std::vector<std::string>{"finished.png", "finished_cropped.png"}));

  const Outcome apart = pano({(photos / "frame_01.jpg").string(), stranger.string(), "--finish", "-o",
                              (scratch_ / "apart").string()});
  EXPECT_EQ(apart.code, 5) << apart.err;
  EXPECT_NE(apart.err.find("no two photos join"), std::string::npos) << apart.err;
  const Outcome single = pano({stranger.string(), "--finish", "-o", (scratch_ / "single").string()});
  EXPECT_EQ(single.code, 5) << single.err;
  EXPECT_FALSE(fs::exists(scratch_ / "apart" / "finished.png"));

  const Outcome stream = pano({photos.string(), "--sweep", "--finish", "-o", (scratch_ / "stream").string()});
  EXPECT_NE(stream.out.find("keyframes"), std::string::npos) << "--sweep --finish no longer takes the sweep";
}

#endif  // ZEMB_PANO

TEST_F(Programs, MakeSweepRemakesTheBundledSweep) {
  const fs::path photo = fs::path(ZEMB_PHOTO_DIR) / "life.jpg";
  const fs::path remade = scratch_ / "sweep";
  const Outcome result = run(ZEMB_MAKE_SWEEP, {photo.string(), remade.string(), "--scale", "0.35", "--step", "24",
                                           "--rotation", "0.3", "--jitter", "6"});
  ASSERT_EQ(result.code, 0) << result.err;
  ASSERT_EQ(names_in(remade), names_in(kSweep));
  // JPEG encoders of other versions may round a little differently.
  for (const std::string& name : names_in(kSweep)) {
    const cv::Mat bundled = cv::imread((kSweep / name).string());
    const cv::Mat made = cv::imread((remade / name).string());
    ASSERT_EQ(made.size(), bundled.size()) << name;
    EXPECT_LT(cv::norm(made, bundled, cv::NORM_L1) / bundled.total(), 1.0) << name;
  }
}

}  // namespace
