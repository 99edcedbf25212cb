// Helpers for the updater's tests: a mirror written through the signature-set API, the HTTPS
// mirror server (tools/serve-mirror) started on 127.0.0.1 for one test, and a picture of an
// installation root to compare before and after a run.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sigdb/crypto.h"
#include "sigdb/signature_set.h"
#include "tests/unit/test_util.h"

#ifndef NERLO_SOURCE_DIR
#error "NERLO_SOURCE_DIR must name the source tree"
#endif

namespace nerlo::testing {

struct KeyPair {
  std::string public_key, secret_key;
  KeyPair() { sigdb::GenerateSigningKeyPair(&public_key, &secret_key); }
};

// Writes files/<sha256> for each database and returns the manifest for them.
inline sigdb::SetManifest WriteSetFiles(const std::string& mirror, uint64_t version,
                                        const std::map<std::string, std::string>& databases,
                                        int64_t created, int64_t expires) {
  sigdb::SetManifest manifest;
  manifest.version = version;
  manifest.created = sigdb::FormatUtcTime(created);
  manifest.expires = sigdb::FormatUtcTime(expires);
  for (const auto& [name, bytes] : databases) {
    const std::string sha = sigdb::Sha256Hex(bytes);
    WriteFile(mirror + "/files/" + sha, bytes);
    manifest.files.push_back({name, bytes.size(), sha});
  }
  return manifest;
}

// Publishes channel bytes signed by secret_key (the signature over signed_bytes when given,
// to make a signature over other bytes).
inline void WriteChannel(const std::string& mirror, const std::string& channel,
                         const std::string& secret_key, const std::string* signed_bytes = nullptr) {
  WriteFile(mirror + "/channel.json", channel);
  WriteFile(mirror + "/channel.json.sig",
            sigdb::SignDetached(signed_bytes ? *signed_bytes : channel, secret_key));
}

// tools/serve-mirror on a port of its own, serving mirror, stopped on destruction.
class MirrorServer {
 public:
  MirrorServer(const std::string& mirror, const std::string& state) : state_(state) {
    std::filesystem::create_directories(mirror);
    std::filesystem::create_directories(state);
    const std::string script = std::string(NERLO_SOURCE_DIR) + "/tools/serve-mirror";
    // The server prints its settings once the port file is written: the test reads that from
    // a pipe, and an end of file tells that the server could not start.
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(out[0]);
      dup2(out[1], 1);
      execlp("python3", "python3", script.c_str(), mirror.c_str(), "--state", state.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    std::string printed;
    char c = 0;
    while (printed.find("Url=") == std::string::npos && read(out[0], &c, 1) == 1) printed += c;
    // The rest of what it prints is left unread; the pipe holds it.
    output_ = out[0];
    const std::string port = ReadFile(state + "/port");
    if (!port.empty()) url_ = "https://127.0.0.1:" + port.substr(0, port.find('\n')) + "/";
  }
  ~MirrorServer() {
    if (pid_ > 0) {
      WriteFile(state_ + "/stop", "");
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
  }
  MirrorServer(const MirrorServer&) = delete;
  MirrorServer& operator=(const MirrorServer&) = delete;

  bool ok() const { return !url_.empty(); }
  const std::string& url() const { return url_; }
  std::string ca_file() const { return state_ + "/ca.pem"; }
  // Serves fault instead of the file at path ("/channel.json", "/files/<sha>").
  void SetFaults(const std::map<std::string, std::string>& faults) {
    std::string json = "{";
    for (const auto& [path, fault] : faults)
      json += (json.size() > 1 ? "," : "") + ("\"" + path + "\": \"" + fault + "\"");
    WriteFile(state_ + "/faults.json", json + "}");
  }
  // The paths requested so far, in order.
  std::vector<std::string> Requests() const {
    std::vector<std::string> paths;
    std::string log = ReadFile(state_ + "/requests.log");
    size_t pos = 0;
    while (pos < log.size()) {
      size_t end = log.find('\n', pos);
      if (end == std::string::npos) end = log.size();
      const std::string line = log.substr(pos, end - pos);
      paths.push_back(line.substr(0, line.find(' ')));
      pos = end + 1;
    }
    return paths;
  }
  void ClearRequests() { std::filesystem::remove(state_ + "/requests.log"); }

 private:
  std::string state_;
  std::string url_;
  pid_t pid_ = -1;
  int output_ = -1;  // the read end of the server's standard output
};

// Every entry under root with its kind and, for files and links, contents or target: two
// equal pictures mean that a run changed nothing (the lock file left out).
inline std::string RootPicture(const std::string& root) {
  std::map<std::string, std::string> entries;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::string relative = it->path().lexically_relative(root).string();
    if (relative == ".lock") continue;
    if (it->is_symlink()) {
      entries[relative] = "-> " + std::filesystem::read_symlink(it->path()).string();
    } else if (it->is_regular_file()) {
      entries[relative] = sigdb::Sha256Hex(ReadFile(it->path().string()));
    } else {
      entries[relative] = "dir";
    }
  }
  std::string picture;
  for (const auto& [name, what] : entries) picture += name + " " + what + "\n";
  return picture;
}

}  // namespace nerlo::testing
