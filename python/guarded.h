// A library object shared by Python threads. Python code can reach one
// object from several threads, but a library object belongs to one thread at
// a time, so every use of it takes the object's lock. Long calls run without
// the GIL, holding only the lock; whoever waits for the lock waits without
// the GIL too, so no thread ever blocks on the lock while holding the GIL and
// the two can never deadlock.
#ifndef ZEMB_PYTHON_GUARDED_H
#define ZEMB_PYTHON_GUARDED_H

#include <mutex>
#include <optional>
#include <utility>

#include <pybind11/pybind11.h>

namespace zemb::python {

template <typename Object>
class Guarded {
 public:
  template <typename... Args>
  explicit Guarded(Args&&... args) : object_(std::forward<Args>(args)...) {}

  // Runs `use` with the GIL held, once no call is under way on the object.
  template <typename Use>
  decltype(auto) with_gil(Use use) {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
      pybind11::gil_scoped_release release;
      lock.lock();
    }
    return use(object_);
  }

  // Runs `work` without the GIL, after any call under way on the object.
  template <typename Work>
  auto without_gil(Work work) {
    pybind11::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(mutex_);
    return work(object_);
  }

  // Runs `use` once no call is under way on the object, from a thread that
  // may or may not hold the GIL (a render reading a sweep's images runs
  // without it).
  template <typename Use>
  decltype(auto) when_free(Use use) {
    if (PyGILState_Check()) return with_gil(use);
    const std::lock_guard<std::mutex> lock(mutex_);
    return use(object_);
  }

  // Runs `work` without the GIL unless a call is under way on the object:
  // nothing then.
  template <typename Work>
  auto without_gil_unless_busy(Work work) -> std::optional<decltype(work(std::declval<Object&>()))> {
    pybind11::gil_scoped_release release;
    const std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return std::nullopt;
    return work(object_);
  }

 private:
  std::mutex mutex_;
  Object object_;
};

}  // namespace zemb::python

#endif  // ZEMB_PYTHON_GUARDED_H
