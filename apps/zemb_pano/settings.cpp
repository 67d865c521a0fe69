#include "settings.h"

#include <charconv>
#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "pano_error.h"

namespace zemb_pano {

namespace {

template <typename Value>
using NamedValues = std::vector<std::pair<const char*, Value>>;

// The names an enumeration's values go by on the command line: Python's
// names of them, in lower case.
template <typename Value>
const NamedValues<Value>& value_names();

template <>
const NamedValues<zemb::Scene>& value_names() {
  static const NamedValues<zemb::Scene> names = {{"turning", zemb::Scene::kTurning}, {"flat", zemb::Scene::kFlat}};
  return names;
}

template <>
const NamedValues<zemb::Direction>& value_names() {
  static const NamedValues<zemb::Direction> names = {{"auto", zemb::Direction::kAuto},
                                                     {"right", zemb::Direction::kRight},
                                                     {"left", zemb::Direction::kLeft},
                                                     {"up", zemb::Direction::kUp},
                                                     {"down", zemb::Direction::kDown}};
  return names;
}

template <>
const NamedValues<zemb::ExposureCompensation>& value_names() {
  using zemb::ExposureCompensation;
  static const NamedValues<ExposureCompensation> names = {{"none", ExposureCompensation::kNone},
                                                          {"gain", ExposureCompensation::kGain},
                                                          {"gain_blocks", ExposureCompensation::kGainBlocks},
                                                          {"channels", ExposureCompensation::kChannels}};
  return names;
}

template <>
const NamedValues<zemb::SeamFinding>& value_names() {
  using zemb::SeamFinding;
  static const NamedValues<SeamFinding> names = {{"none", SeamFinding::kNone},
                                                 {"voronoi", SeamFinding::kVoronoi},
                                                 {"dp_colour_gradient", SeamFinding::kDpColourGradient},
                                                 {"graph_cut", SeamFinding::kGraphCut}};
  return names;
}

template <>
const NamedValues<zemb::Blending>& value_names() {
  static const NamedValues<zemb::Blending> names = {{"none", zemb::Blending::kNone},
                                                    {"feather", zemb::Blending::kFeather},
                                                    {"multi_band", zemb::Blending::kMultiBand}};
  return names;
}

template <>
const NamedValues<zemb::PanoramaSurface>& value_names() {
  static const NamedValues<zemb::PanoramaSurface> names = {{"auto", zemb::PanoramaSurface::kAuto},
                                                           {"plane", zemb::PanoramaSurface::kPlane},
                                                           {"cylinder", zemb::PanoramaSurface::kCylinder},
                                                           {"sphere", zemb::PanoramaSurface::kSphere}};
  return names;
}

// "a, b or c"
template <typename Value>
std::string name_list() {
  const NamedValues<Value>& names = value_names<Value>();
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i)
    list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + std::string(names[i].first);
  return list;
}

template <typename Field>
std::string range_text(double low, double high) {
  if constexpr (std::is_same_v<Field, bool>)
    return "true or false";
  else if constexpr (std::is_enum_v<Field>)
    return name_list<Field>();
  else
    return cv::format("%g to %g", low, high);
}

// The whole of `text` as a number of type Number; a number too large for
// the type lies outside the field's range.
template <typename Number>
Number number_in(const std::string& label, const std::string& text, double low, double high) {
  Number number{};
  const char* end = text.data() + text.size();
  const std::from_chars_result read = std::from_chars(text.data(), end, number);
  if (read.ec == std::errc::result_out_of_range && read.ptr == end)
    throw usage_error(label + " is " + text + "; it must be " + range_text<Number>(low, high));
  if (read.ec != std::errc() || read.ptr != end)
    throw usage_error(label + " expects " + (std::is_integral_v<Number> ? "a whole number" : "a number") + ", got '" +
                      text + "'");
  return number;
}

// `text` as a value of a field of type Field, or a usage error naming `label`.
template <typename Field>
Field parsed(const std::string& label, const std::string& text, double low, double high) {
  if constexpr (std::is_same_v<Field, bool>) {
    if (text == "true" || text == "1") return true;
    if (text == "false" || text == "0") return false;
    throw usage_error(label + " expects true or false, got '" + text + "'");
  } else if constexpr (std::is_enum_v<Field>) {
    for (const auto& [name, value] : value_names<Field>())
      if (text == name) return value;
    throw usage_error(label + " expects " + name_list<Field>() + ", got '" + text + "'");
  } else {
    return number_in<Field>(label, text, low, high);
  }
}

template <typename Field>
std::string value_text(Field value) {
  if constexpr (std::is_same_v<Field, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_enum_v<Field>) {
    for (const auto& [name, named] : value_names<Field>())
      if (value == named) return name;
    return std::to_string(static_cast<std::underlying_type_t<Field>>(value));
  } else if constexpr (std::is_integral_v<Field>) {
    return std::to_string(value);
  } else {
    return cv::format("%g", static_cast<double>(value));
  }
}

// `text` in lines of at most `width` columns, each after `indent`.
std::string wrapped(const std::string& text, const std::string& indent, std::size_t width) {
  std::string lines, line;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t space = text.find(' ', start);
    const std::string word = text.substr(start, space == std::string::npos ? std::string::npos : space - start);
    start = space == std::string::npos ? text.size() : space + 1;
    if (!line.empty() && indent.size() + line.size() + 1 + word.size() > width) {
      lines += indent + line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return lines + indent + line + "\n";
}

}  // namespace

template <typename Options>
const void* set_option(Options& options, const std::string& name, const std::string& text, const std::string& label) {
  const void* set = nullptr;
  zemb::for_each_option(options, [&](const std::string& path, auto& field, double low, double high, const char*) {
    if (path != name) return;
    const auto value = parsed<std::decay_t<decltype(field)>>(label, text, low, high);
    try {
      zemb::check_field(label, value, low, high);
    } catch (const cv::Exception& e) {
      throw usage_error(e.err);
    }
    field = value;
    set = &field;
  });
  if (set == nullptr) throw usage_error("no setting is called '" + name + "'; --options lists them");
  return set;
}

template <typename Options>
void print_options(std::ostream& out, const Options& options, const std::string& prefix) {
  zemb::for_each_option(options, [&out, &prefix](const std::string& path, const auto& field, double low, double high,
                                                 const char* description) {
    using Field = std::decay_t<decltype(field)>;
    out << prefix << path << " = " << value_text(field) << "  (" << range_text<Field>(low, high) << ")\n"
        << wrapped(description, "    ", 79);
  });
}

template const void* set_option(zemb::SweepOptions&, const std::string&, const std::string&, const std::string&);
template const void* set_option(zemb::PhotoMatchOptions&, const std::string&, const std::string&,
                                const std::string&);
template void print_options(std::ostream&, const zemb::SweepOptions&, const std::string&);
template void print_options(std::ostream&, const zemb::PhotoMatchOptions&, const std::string&);

}  // namespace zemb_pano
