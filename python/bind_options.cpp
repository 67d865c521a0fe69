// The options structs of zemb/options.h and their enums. Every class is made
// from its struct's for_each_field() list, so a field added there is in
// Python at the next build: a read/write attribute with the field's
// description as its docstring, refusing a value outside its range (a nested
// struct is one too, read by reference), a keyword of the constructor, and an
// entry of as_dict(), __repr__ and __eq__. The class's docstring is its
// struct's kDescription.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <zemb/options.h>

#include "bindings.h"
#include "ndarray.h"

namespace zemb::python {

namespace {

// One visitor out of a lambda for plain fields (name, field, low, high,
// description) and one for nested structs (name, nested).
template <typename... Lambdas>
struct Overloaded : Lambdas... {
  using Lambdas::operator()...;
};
template <typename... Lambdas>
Overloaded(Lambdas...) -> Overloaded<Lambdas...>;

template <typename Options>
std::string class_name() {
  return py::str(py::type::of<Options>().attr("__name__"));
}

template <typename Field>
std::string type_name() {
  if constexpr (std::is_same_v<Field, bool>)
    return "bool";
  else if constexpr (std::is_enum_v<Field>)
    return class_name<Field>();
  else if constexpr (std::is_integral_v<Field>)
    return "int";
  else
    return "float";
}

std::string number_text(double value) {
  return value == std::floor(value) && std::abs(value) < 1e19 ? cv::format("%.0f", value) : cv::format("%g", value);
}

// A float field as the shortest decimal that gives it back (0.2, not
// 0.20000000298023224), so that Python reads what it wrote.
double shortest_decimal(float value) {
  for (int digits = 6;; ++digits) {
    const double decimal = std::strtod(cv::format("%.*g", digits, value).c_str(), nullptr);
    if (static_cast<float>(decimal) == value || digits == 9) return decimal;
  }
}

template <typename Field>
auto python_value(Field value) {
  if constexpr (std::is_same_v<Field, float>)
    return shortest_decimal(value);
  else
    return value;
}

// The field called `name` of type Field. The name always comes from the
// same list, so the field is there.
template <typename Field, typename Options>
auto& field_of(Options& options, const std::string& name) {
  std::conditional_t<std::is_const_v<Options>, const Field*, Field*> found = nullptr;
  std::remove_const_t<Options>::for_each_field(options, [&](const char* field_name, auto& field, auto&&...) {
    if constexpr (std::is_same_v<std::decay_t<decltype(field)>, Field>)
      if (name == field_name) found = &field;
  });
  return *found;
}

template <typename Options>
std::vector<std::string> field_names() {
  std::vector<std::string> names;
  Options options;
  Options::for_each_field(options, [&names](const char* name, auto&&...) { names.emplace_back(name); });
  return names;
}

template <typename Options>
py::dict as_dict(const Options& options) {
  py::dict fields;
  Options::for_each_field(options, Overloaded{
      [&fields](const char* name, const auto& field, double, double, const char*) {
        fields[name] = python_value(field);
      },
      [&fields](const char* name, const auto& nested) { fields[name] = as_dict(nested); }});
  return fields;
}

// Like the constructor call that makes the same options: enum values as
// their names (Scene.TURNING), nested structs as their own repr.
template <typename Options>
std::string repr_of(const Options& options) {
  std::string text;
  const auto add = [&text](const char* name, const std::string& value) {
    text += (text.empty() ? "" : ", ") + std::string(name) + "=" + value;
  };
  Options::for_each_field(options, Overloaded{
      [&add](const char* name, const auto& field, double, double, const char*) {
        const py::object value = py::cast(python_value(field));
        add(name, std::is_enum_v<std::decay_t<decltype(field)>> ? py::str(value) : py::repr(value));
      },
      [&add](const char* name, const auto& nested) { add(name, repr_of(nested)); }});
  return class_name<Options>() + "(" + text + ")";
}

// Defaults, with the fields named in `fields` set through their attributes
// (so a value of the wrong type raises the attribute's TypeError).
template <typename Options>
std::unique_ptr<Options> from_fields(const py::dict& fields) {
  auto options = std::make_unique<Options>();
  const py::object view = py::cast(options.get(), py::return_value_policy::reference);
  const std::vector<std::string> names = field_names<Options>();
  for (const auto& [name, value] : fields) {
    const std::string key = py::str(name);
    if (std::find(names.begin(), names.end(), key) == names.end())
      throw py::type_error(class_name<Options>() + " has no field '" + key + "'");
    py::setattr(view, name, value);
  }
  return options;
}

template <typename Options>
class FieldBinder {
 public:
  explicit FieldBinder(py::class_<Options>& python_class) : class_(python_class) {}

  // The docstring: "int, 16 to 8192. " and the description.
  template <typename Field>
  void operator()(const char* name, Field&, double low, double high, const char* description) const {
    const std::string key = name, field = class_name<Options>() + "::" + name;
    const bool ranged = !std::is_same_v<Field, bool> && !std::is_enum_v<Field>;
    const std::string range = ranged ? ", " + number_text(low) + " to " + number_text(high) : "";
    class_.def_property(
        name, [key](const Options& options) { return python_value(field_of<Field>(options, key)); },
        [key, field, low, high](Options& options, Field value) {
          check_field(field, value, low, high);
          field_of<Field>(options, key) = value;
        },
        (type_name<Field>() + range + ". " + description).c_str());
  }

  // A nested struct is read by reference (options.tracking.flow.window = 9
  // changes options) and set from an instance or a dict of its fields.
  template <typename Nested>
  void operator()(const char* name, Nested&) const {
    const std::string key = name;
    class_.def_property(
        name,
        py::cpp_function([key](Options& options) -> Nested& { return field_of<Nested>(options, key); },
                         py::return_value_policy::reference_internal),
        [key](Options& options, const py::object& value) {
          field_of<Nested>(options, key) = nested_from<Nested>(value);
        },
        (class_name<Nested>() + " (or a dict of its fields). " + Nested::kDescription).c_str());
  }

 private:
  template <typename Nested>
  static Nested nested_from(const py::object& value) {
    if (py::isinstance<py::dict>(value)) return *from_fields<Nested>(value);
    if (!py::isinstance<Nested>(value))
      throw py::type_error("expected " + class_name<Nested>() + " or a dict, got " +
                           std::string(py::str(py::type::of(value).attr("__name__"))));
    return value.cast<Nested>();
  }

  py::class_<Options>& class_;
};

template <typename Options>
void bind_options_class(py::module_& module, const char* name) {
  py::class_<Options> python_class(
      module, name,
      (std::string(Options::kDescription) + "\n\n" + name +
       "(**fields) starts from the defaults and sets the fields named (TypeError for an unknown name\n"
       "or a value of the wrong type). A value outside a field's range raises ValueError naming the\n"
       "field; check() raises it for the first field out of range or limit joining two fields broken.")
          .c_str());
  python_class.def(py::init([](const py::kwargs& fields) { return from_fields<Options>(fields); }))
      .def("check", &Options::check,
           "Raises ValueError naming the first field out of range, or a limit joining two fields broken.")
      .def("as_dict", &as_dict<Options>, "The fields in declaration order, nested structs as dicts.")
      .def("__repr__", &repr_of<Options>)
      .def(
          "__eq__",
          [](const Options& options, const py::object& other) -> py::object {
            if (!py::isinstance<Options>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            return py::bool_(as_dict(options).equal(as_dict(other.cast<const Options&>())));
          },
          py::is_operator());
  Options defaults;
  Options::for_each_field(defaults, FieldBinder<Options>(python_class));
}

void bind_enums(py::module_& module) {
  py::enum_<Scene>(module, "Scene", "What the camera does while it sweeps.")
      .value("TURNING", Scene::kTurning, "A camera turning about its centre: phone panoramas, drones.")
      .value("FLAT", Scene::kFlat, "A flat scene passed under a moving camera: documents, shelves, slides.");
  py::enum_<Direction>(module, "Direction", "Which way the camera travels across the scene.")
      .value("AUTO", Direction::kAuto, "Found from the first frames that move.")
      .value("RIGHT", Direction::kRight)
      .value("LEFT", Direction::kLeft)
      .value("UP", Direction::kUp)
      .value("DOWN", Direction::kDown);
  py::enum_<ExposureCompensation>(module, "ExposureCompensation",
                                  "How the finished render evens out exposure between keyframes.")
      .value("NONE", ExposureCompensation::kNone)
      .value("GAIN", ExposureCompensation::kGain)
      .value("GAIN_BLOCKS", ExposureCompensation::kGainBlocks)
      .value("CHANNELS", ExposureCompensation::kChannels);
  py::enum_<SeamFinding>(module, "SeamFinding", "How the finished render finds the seams between keyframes.")
      .value("NONE", SeamFinding::kNone)
      .value("VORONOI", SeamFinding::kVoronoi)
      .value("DP_COLOUR_GRADIENT", SeamFinding::kDpColourGradient)
      .value("GRAPH_CUT", SeamFinding::kGraphCut);
  py::enum_<Blending>(module, "Blending", "How the finished render blends across the seams.")
      .value("NONE", Blending::kNone)
      .value("FEATHER", Blending::kFeather)
      .value("MULTI_BAND", Blending::kMultiBand);
  py::enum_<PanoramaSurface>(module, "PanoramaSurface",
                             "What a turning camera's keyframes are projected onto in the finished render.")
      .value("AUTO", PanoramaSurface::kAuto, "The plane, unless the sweep reaches past 50 degrees either side.")
      .value("PLANE", PanoramaSurface::kPlane)
      .value("CYLINDER", PanoramaSurface::kCylinder)
      .value("SPHERE", PanoramaSurface::kSphere, "The whole sphere, equirectangular: twice as wide as high.");
}

}  // namespace

void bind_options(py::module_& module) {
  bind_enums(module);
  // Nested structs first: their classes name the attributes of the outer ones.
  bind_options_class<PreparationOptions>(module, "PreparationOptions");
  bind_options_class<DetectionOptions>(module, "DetectionOptions");
  bind_options_class<FlowOptions>(module, "FlowOptions");
  bind_options_class<FitOptions>(module, "FitOptions");
  bind_options_class<TrackingOptions>(module, "TrackingOptions");
  bind_options_class<PlacementOptions>(module, "PlacementOptions");
  bind_options_class<RecoveryOptions>(module, "RecoveryOptions");
  bind_options_class<OverlayOptions>(module, "OverlayOptions");
  bind_options_class<KeyframeOptions>(module, "KeyframeOptions");
  bind_options_class<MemoryOptions>(module, "MemoryOptions");
  bind_options_class<RenderOptions>(module, "RenderOptions");
  bind_options_class<SweepOptions>(module, "SweepOptions");
  bind_options_class<PhotoMatchOptions>(module, "PhotoMatchOptions");
  bind_options_class<PhotoSetOptions>(module, "PhotoSetOptions");
}

}  // namespace zemb::python
