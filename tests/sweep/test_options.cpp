// The options' field lists against their checks: every listed field is
// checked at both ends of its range, so a field whose check is lost, or a
// range written wrongly, fails here; and the limits that join two fields.
#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "zemb/sweep.h"

namespace {

// One plain field reached through a SweepOptions: its dotted name, its range,
// and a way to set it to any value.
struct Field {
  std::string name;
  std::vector<double> outside;  // values just out of range that the field's type can hold
  std::function<void(zemb::SweepOptions&, double)> set;
};

// Out-of-range values a field of type T can be given without undefined
// behaviour: none for a bool, no negative one for an unsigned field, NaN
// only for a floating one.
template <typename T>
std::vector<double> outside_of(double low, double high) {
  if constexpr (std::is_same_v<T, bool>) return {};
  std::vector<double> values{high + std::max(1.0, high / 2)};
  if (!std::is_unsigned_v<T> || low >= 1) values.push_back(low - 1);
  if (std::is_floating_point_v<T>) values.push_back(std::nan(""));
  return values;
}

template <typename T>
void assign(T& field, double value) {
  if constexpr (std::is_enum_v<T>)
    field = static_cast<T>(static_cast<std::underlying_type_t<T>>(value));
  else
    field = static_cast<T>(value);
}

// Walks the field lists down from SweepOptions, remembering how to reach
// each field from the top.
template <typename Options>
void collect(const std::string& prefix, std::function<Options&(zemb::SweepOptions&)> reach,
             std::vector<Field>& fields) {
  Options probe;
  Options::for_each_field(probe, [&](const char* name, auto& member, auto... range) {
    using Member = std::remove_reference_t<decltype(member)>;
    const std::ptrdiff_t offset = reinterpret_cast<char*>(&member) - reinterpret_cast<char*>(&probe);
    const auto member_of = [reach, offset](zemb::SweepOptions& o) -> Member& {
      return *reinterpret_cast<Member*>(reinterpret_cast<char*>(&reach(o)) + offset);
    };
    if constexpr (sizeof...(range) == 0) {
      collect<Member>(prefix + name + ".", member_of, fields);
    } else {
      const double bounds[] = {static_cast<double>(range)...};
      fields.push_back({prefix + name, outside_of<Member>(bounds[0], bounds[1]),
                        [member_of](zemb::SweepOptions& o, double value) { assign(member_of(o), value); }});
    }
  });
}

std::vector<Field> all_fields() {
  std::vector<Field> fields;
  collect<zemb::SweepOptions>("", [](zemb::SweepOptions& o) -> zemb::SweepOptions& { return o; }, fields);
  return fields;
}

// The last part of a dotted name: what the check's message names.
std::string leaf(const std::string& name) { return name.substr(name.rfind('.') + 1); }

TEST(SweepOptions, EveryListedFieldIsCheckedAtBothEndsOfItsRange) {
  const std::vector<Field> fields = all_fields();
  ASSERT_GT(fields.size(), 35u);
  EXPECT_NO_THROW(zemb::SweepOptions().check());
  for (const Field& field : fields) {
    SCOPED_TRACE(field.name);
    for (const double outside : field.outside) {
      zemb::SweepOptions options;
      field.set(options, outside);
      try {
        options.check();
        ADD_FAILURE() << outside << " was accepted";
      } catch (const cv::Exception& e) {
        EXPECT_EQ(e.code, cv::Error::StsBadArg);
        EXPECT_NE(e.err.find("::" + leaf(field.name) + " is"), std::string::npos) << e.err;
      }
    }
  }
}

// A float field's end, held as a float, is a little past its decimal bound.
TEST(SweepOptions, AFloatFieldTakesItsOwnEnd) {
  zemb::SweepOptions options;
  options.recovery.match_ratio = 0.99f;
  EXPECT_NO_THROW(options.check());
}

TEST(SweepOptions, LimitsThatJoinTwoFieldsAreChecked) {
  const std::vector<std::pair<std::function<void(zemb::SweepOptions&)>, std::string>> cases = {
      {[](zemb::SweepOptions& o) { o.detection.threshold_floor = 60; }, "DetectionOptions::threshold_floor"},
      {[](zemb::SweepOptions& o) { o.detection.adaptive_target = 10; }, "DetectionOptions::adaptive_target"},
      {[](zemb::SweepOptions& o) { o.recovery.points = 10; }, "RecoveryOptions::points"},
  };
  for (const auto& [change, field] : cases) {
    zemb::SweepOptions options;
    change(options);
    try {
      zemb::Sweep sweep("", options);
      ADD_FAILURE() << field << " was accepted";
    } catch (const cv::Exception& e) {
      EXPECT_EQ(e.code, cv::Error::StsBadArg);
      EXPECT_NE(e.err.find(field), std::string::npos) << e.err;
    }
  }
}

}  // namespace
