// The observer of the fixed path's steps: one pointer a thread, empty unless
// a benchmark or a profiler set it.
#include "fixed/steps.h"

namespace zemb {

namespace {

thread_local StepObserver* observer = nullptr;

}  // namespace

void StepObserver::planned(const Geometry&) {}

ObservedSteps::ObservedSteps(StepObserver& watching) : previous_(observer) { observer = &watching; }

ObservedSteps::~ObservedSteps() { observer = previous_; }

void step_ended(FixedStep step) {
  if (observer != nullptr) observer->ended(step);
}

void placement_planned(const Geometry& geometry) {
  if (observer != nullptr) observer->planned(geometry);
}

}  // namespace zemb
