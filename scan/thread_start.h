// Starting the engine's helper threads, replaceable so that a failure to start one can be
// made to happen.
#pragma once

#include <functional>
#include <thread>

namespace nerlo::scan {

// Starts a thread that runs body and returns it, joinable. Raises std::system_error when
// the system cannot start one (no thread or no memory for its stack left).
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

// The ThreadStarter of the program: std::thread.
inline std::thread StartThread(std::function<void()> body) { return std::thread(std::move(body)); }

}  // namespace nerlo::scan
