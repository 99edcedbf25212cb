#include "scan/database_preload.h"

#include <chrono>
#include <system_error>

#include "platform/message_queue.h"
#include "sigdb/file_search.h"

namespace nerlo::scan {

namespace {

// How long Await waits for messages between two looks at the read.
constexpr std::chrono::milliseconds kAwaitSlice{5};

}  // namespace

TDatabasePreload::~TDatabasePreload() { JoinAll(); }

void TDatabasePreload::JoinAll() {
  for (const std::shared_ptr<Read>& read : reads_)
    if (read->thread.joinable()) read->thread.join();
  reads_.clear();
}

void TDatabasePreload::Start(const std::vector<std::string>& paths) {
  JoinAll();
  for (const std::string& path : paths) {
    auto read = std::make_shared<Read>();
    read->path = path;
    Read* const shared = read.get();
    try {
      read->thread = start_([shared] {
        try {
          sigdb::TFileSearch search;
          search.SetFilename(shared->path);
          search.PrepareIndex();
        } catch (...) {
          // Out of memory for the snapshot or its index: the first search tries again, and
          // says why when it fails too.
        }
        shared->done.store(true, std::memory_order_release);
      });
    } catch (const std::system_error&) {
      continue;  // no thread: the first search reads the database itself
    }
    reads_.push_back(std::move(read));
  }
}

void TDatabasePreload::Await(const std::string& path) {
  std::shared_ptr<Read> awaited;
  for (const std::shared_ptr<Read>& read : reads_)
    if (read->path == path) awaited = read;
  if (awaited == nullptr) return;
  while (!awaited->done.load(std::memory_order_acquire))
    platform::Messages().WaitForMessages(kAwaitSlice);
}

}  // namespace nerlo::scan
