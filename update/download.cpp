#include "update/download.h"

#include <curl/curl.h>

#include <mutex>

namespace nerlo::update {

namespace {

void InitializeLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != prefix[i]) return false;
  }
  return true;
}

std::string Plural(uint64_t count, const char* word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

}  // namespace

bool IsHttpsUrl(std::string_view url) {
  if (!StartsWithNoCase(url, "https://")) return false;
  const std::string_view rest = url.substr(8);
  return !rest.empty() && rest.front() != '/';
}

std::string ChannelFileUrl(std::string_view base, std::string_view name) {
  std::string url(base);
  if (url.empty() || url.back() != '/') url.push_back('/');
  url.append(name);
  return url;
}

// The state of one request, reached from libcurl's callbacks.
struct Downloader::Transfer {
  CURL* curl = nullptr;
  const Sink* sink = nullptr;
  const Progress* progress = nullptr;
  uint64_t max_bytes = 0;
  uint64_t received = 0;
  long status = 0;
  bool not_ok_status = false;  // a body of an answer other than 200, left unread
  bool too_large = false;
  uint64_t announced = 0;  // a Content-Length above max_bytes, when that stopped the transfer
  bool sink_refused = false;
  bool cancelled = false;

  static size_t OnBody(char* data, size_t, size_t count, void* self_pointer) {
    auto* self = static_cast<Transfer*>(self_pointer);
    if (self->received == 0) {
      curl_easy_getinfo(self->curl, CURLINFO_RESPONSE_CODE, &self->status);
      if (self->status != 200) {
        self->not_ok_status = true;
        return CURL_WRITEFUNC_ERROR;
      }
      curl_off_t length = -1;
      if (curl_easy_getinfo(self->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) ==
              CURLE_OK &&
          length > 0 && static_cast<uint64_t>(length) > self->max_bytes) {
        self->too_large = true;
        self->announced = static_cast<uint64_t>(length);
        return CURL_WRITEFUNC_ERROR;
      }
    }
    // Nothing beyond the limit ever reaches the sink: the chunk that would cross it ends the
    // transfer whole.
    if (count > self->max_bytes - self->received) {
      self->too_large = true;
      return CURL_WRITEFUNC_ERROR;
    }
    if (!(*self->sink)(std::string_view(data, count))) {
      self->sink_refused = true;
      return CURL_WRITEFUNC_ERROR;
    }
    self->received += count;
    return count;
  }

  static int OnProgress(void* self_pointer, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* self = static_cast<Transfer*>(self_pointer);
    if (*self->progress && !(*self->progress)(self->received)) {
      self->cancelled = true;
      return 1;
    }
    return 0;
  }
};

Downloader::Downloader(std::string ca_file, DownloadLimits limits)
    : ca_file_(std::move(ca_file)), limits_(limits) {
  InitializeLibrary();
}

Downloader::~Downloader() {
  if (curl_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

DownloadStatus Downloader::Fetch(const std::string& url, uint64_t max_bytes, bool exact,
                                 const Sink& sink, const Progress& progress,
                                 std::string* error) {
  std::string current = url;
  for (int hop = 0;; ++hop) {
    if (!IsHttpsUrl(current)) {
      *error = hop == 0 ? current + ": only https:// addresses are accepted"
                        : url + ": redirected to " + current +
                              ", refused: only https:// addresses are accepted";
      return DownloadStatus::kFailed;
    }
    // One handle for every transfer of this object, reset in between, so that its
    // connection to the mirror is reused instead of a new TLS handshake per file.
    if (curl_ == nullptr) curl_ = curl_easy_init();
    CURL* curl = static_cast<CURL*>(curl_);
    curl_easy_reset(curl);
    if (curl == nullptr) {
      *error = current + ": the download library could not start a transfer";
      return DownloadStatus::kFailed;
    }
    Transfer transfer;
    transfer.curl = curl;
    transfer.sink = &sink;
    transfer.progress = &progress;
    transfer.max_bytes = max_bytes;
    char message[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(curl, CURLOPT_URL, current.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "kestry/1.0");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits_.connect_timeout_seconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits_.low_speed_bytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits_.low_speed_seconds);
    if (!ca_file_.empty()) {
      // The extra bundle is searched beside the system's folder of authorities, so that it
      // adds to them instead of replacing them.
      curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file_.c_str());
      curl_easy_setopt(curl, CURLOPT_CAPATH, "/etc/ssl/certs");
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);

    const CURLcode code = curl_easy_perform(curl);
    long status = transfer.status;
    if (status == 0) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    std::string redirect;
    if (status >= 300 && status < 400) {
      char* location = nullptr;
      if (curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location) == CURLE_OK &&
          location != nullptr)
        redirect = location;
    }
    total_received_ += transfer.received;

    if (transfer.cancelled) {
      *error = current + ": cancelled";
      return DownloadStatus::kCancelled;
    }
    if (transfer.too_large) {
      *error = current + ": the server " +
               (transfer.announced > 0 ? "announced " + Plural(transfer.announced, "byte")
                                       : std::string("sent more"))
               + ", more than the " + Plural(max_bytes, "byte") + " expected";
      return DownloadStatus::kFailed;
    }
    if (transfer.sink_refused) {
      *error = current + ": the download could not be stored";
      return DownloadStatus::kFailed;
    }
    if (!redirect.empty()) {
      if (hop + 1 > limits_.max_redirects) {
        *error = url + ": more than " + Plural(limits_.max_redirects, "redirect");
        return DownloadStatus::kFailed;
      }
      current = redirect;
      continue;
    }
    if (code == CURLE_PARTIAL_FILE) {
      *error = current + ": truncated, the connection closed after " +
               Plural(transfer.received, "byte") + (exact ? " of " + std::to_string(max_bytes) : "");
      return DownloadStatus::kFailed;
    }
    if (code != CURLE_OK && !transfer.not_ok_status) {
      *error = current + ": " + (message[0] != '\0' ? message : curl_easy_strerror(code));
      return DownloadStatus::kFailed;
    }
    if (status != 200) {
      *error = current + ": the server answered HTTP " + std::to_string(status);
      return DownloadStatus::kFailed;
    }
    if (exact && transfer.received != max_bytes) {
      *error = current + ": truncated, " + Plural(transfer.received, "byte") + " of " +
               std::to_string(max_bytes) + " received";
      return DownloadStatus::kFailed;
    }
    return DownloadStatus::kOk;
  }
}

}  // namespace nerlo::update
