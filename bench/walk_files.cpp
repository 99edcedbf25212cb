// Walks a directory with TFileFind as a scan does ("*.*", every file reported, the message
// queue pumped after each report) and prints how many files it reported and how long it took.
//
//   walk_files DIR
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "scan/file_find.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  nerlo::scan::TFileFind ff;
  ff.SetFileName(nerlo::platform::JoinPath(argv[1], "*.*"));
  ff.SetStopOnFirstMatch(false);
  uint64_t files = 0;
  uint64_t path_bytes = 0;  // touches each reported path, as a handler would
  ff.OnMatch = [&](nerlo::scan::TFileFind& sender) {
    ++files;
    path_bytes += sender.LastMatch().size();
  };
  const auto start = std::chrono::steady_clock::now();
  ff.Start();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("files %llu\nseconds %.6f\npath_bytes %llu\n", static_cast<unsigned long long>(files),
              seconds, static_cast<unsigned long long>(path_bytes));
  return 0;
}
