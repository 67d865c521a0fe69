// Failures that end a zemb_pano run, each with the exit code it maps to.
#ifndef ZEMB_PANO_ERROR_H
#define ZEMB_PANO_ERROR_H

#include <stdexcept>
#include <string>

namespace zemb_pano {

// Exit codes, listed in --help.
enum ExitCode {
  kExitOk = 0,
  kExitFailure = 1,        // anything unexpected
  kExitUsage = 2,          // bad command line
  kExitBadInput = 3,       // missing, unreadable or unusable input
  kExitBadOutput = 4,      // output folder missing rights, or a write failed
  kExitNothingPlaced = 5,  // no frame could be placed next to the first
};

// A one-line message for a person, naming the file and the cause.
class PanoError : public std::runtime_error {
 public:
  PanoError(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
  ExitCode code() const { return code_; }

 private:
  ExitCode code_;
};

// A command line zemb_pano cannot make sense of: `message`, and where to look.
inline PanoError usage_error(const std::string& message) { return PanoError(kExitUsage, message + " (see --help)"); }

}  // namespace zemb_pano

#endif  // ZEMB_PANO_ERROR_H
