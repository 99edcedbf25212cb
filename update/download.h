// Downloads over HTTPS (libcurl): one URL at a time into a caller's sink, with a bounded
// size, time-outs that never let a transfer hang, and redirects followed only to https://.
//
// Only https:// URLs are fetched, also after a redirect. Certificates are checked against the
// system's bundle, and also against ca_file when one is given (a private mirror's own
// authority). Proxies come from the usual environment variables (https_proxy, HTTPS_PROXY,
// all_proxy, no_proxy), as every libcurl program reads them.
//
// A Downloader is used by one thread at a time; different objects may run in parallel.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace nerlo::update {

struct DownloadLimits {
  // Longest wait for the connection, TLS handshake included.
  long connect_timeout_seconds = 20;
  // A transfer slower than low_speed_bytes per second for low_speed_seconds in a row ends
  // with a failure: a server that stalls, before or during the body, never holds a run.
  long low_speed_bytes = 1000;
  long low_speed_seconds = 30;
  // Redirects followed before giving up.
  int max_redirects = 5;
};

enum class DownloadStatus {
  kOk,
  kFailed,     // *error says what and where
  kCancelled,  // the progress callback asked to stop
};

class Downloader {
 public:
  // Receives the body in order; returns false to stop the transfer (a write failed: the sink
  // keeps its own reason).
  using Sink = std::function<bool(std::string_view bytes)>;
  // Told the body bytes received so far; returns false to cancel. Called from the
  // downloading thread, also while no byte arrives (about once a second at least).
  using Progress = std::function<bool(uint64_t received)>;

  // ca_file: an extra certificate bundle (PEM), or empty.
  Downloader(std::string ca_file, DownloadLimits limits);
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Fetches url. The body must be at most max_bytes long: the transfer stops at the first
  // byte beyond it (none of them reaches the sink) and fails with "more than N bytes". With
  // exact, a shorter body fails too ("truncated"). Anything but a 200 answer fails with the
  // HTTP status, the body unread. *error names the URL (after redirects) and the reason.
  DownloadStatus Fetch(const std::string& url, uint64_t max_bytes, bool exact, const Sink& sink,
                       const Progress& progress, std::string* error);

  // Body bytes received by every Fetch of this object so far.
  uint64_t TotalReceived() const { return total_received_; }

 private:
  struct Transfer;
  std::string ca_file_;
  DownloadLimits limits_;
  uint64_t total_received_ = 0;
  void* curl_ = nullptr;  // the transfer handle, kept for its connection cache
};

// True when url starts with "https://" (letters in either case) and names a host.
bool IsHttpsUrl(std::string_view url);

// base with a "/" added unless it ends with one, then name: the address of a file of a
// channel whose Url is base.
std::string ChannelFileUrl(std::string_view base, std::string_view name);

}  // namespace nerlo::update
