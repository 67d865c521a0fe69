// The sweep's settings on the command line, --set NAME=VALUE and --options,
// both made from the options' own field list (zemb::for_each_option), so
// that every field can be set and is listed.
#ifndef ZEMB_PANO_SETTINGS_H
#define ZEMB_PANO_SETTINGS_H

#include <ostream>
#include <string>

#include "zemb/options.h"

namespace zemb_pano {

// Sets the field of `options` that `name` gives by its path through the
// nesting ("recovery.time_budget") from `text`: a number, true or false, or
// an enumeration's value by its name. Throws PanoError (kExitUsage), naming
// `label` (what the person typed), for an unknown name or a value the field
// cannot take or that lies outside its range. Returns the field it set.
// Made for zemb::SweepOptions and zemb::PhotoMatchOptions.
template <typename Options>
const void* set_option(Options& options, const std::string& name, const std::string& text, const std::string& label);

// Every field of `options`, one to a paragraph: its path (after `prefix`),
// its value, its range and what it does.
template <typename Options>
void print_options(std::ostream& out, const Options& options, const std::string& prefix = "");

}  // namespace zemb_pano

#endif  // ZEMB_PANO_SETTINGS_H
