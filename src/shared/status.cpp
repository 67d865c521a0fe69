// The names of the frame outcomes, as reports and CSV files print them.
#include "zemb/status.h"

namespace zemb {

const char* outcome_name(FrameOutcome outcome) {
  switch (outcome) {
    case FrameOutcome::kAccepted: return "accepted";
    case FrameOutcome::kRelocalised: return "relocalised";
    case FrameOutcome::kTooFewKeypoints: return "too few keypoints";
    case FrameOutcome::kTooFewTracked: return "too few tracked";
    case FrameOutcome::kNotExtended: return "not extended";
    case FrameOutcome::kNotPlaceable: return "not placeable";
  }
  return "unknown";
}

}  // namespace zemb
