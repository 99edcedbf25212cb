// The cost of choosing the signature set at scan start: ResolveSignatureSet over an installed
// root holding a valid set, a root whose set is passed over (a database of another size) and
// a root holding nothing, with the program directory last.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "sigdb/crypto.h"
#include "sigdb/signature_set.h"

namespace {

using nerlo::sigdb::ManifestText;
using nerlo::sigdb::ResolveSignatureSet;
using nerlo::sigdb::SetManifest;

void Write(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

void Install(const std::filesystem::path& root, uint64_t version, bool break_it) {
  const std::filesystem::path folder = root / "sets" / std::to_string(version);
  SetManifest manifest;
  manifest.version = version;
  manifest.created = "2026-12-01T00:00:00Z";
  manifest.expires = "2999-01-01T00:00:00Z";
  for (const char* name : {"database.db", "tdb.ldb", "heuristics.db"}) {
    const std::string bytes(4096, 'x');
    Write(folder / name, bytes);
    manifest.files.push_back({name, bytes.size(), nerlo::sigdb::Sha256Hex(bytes)});
  }
  if (break_it) Write(folder / "database.db", "short");
  Write(folder / "nerlo-set.json", ManifestText(manifest));
  std::filesystem::create_directory_symlink("sets/" + std::to_string(version), root / "current");
}

void BM_ResolveSignatureSet(benchmark::State& state) {
  const std::filesystem::path base =
      std::filesystem::temp_directory_path() /
      ("nerlo-resolve-bench-" + std::to_string(std::random_device()()));
  std::filesystem::remove_all(base);
  Install(base / "user", 12, false);
  Install(base / "system", 13, true);
  std::filesystem::create_directories(base / "empty");
  std::filesystem::create_directories(base / "program");
  const std::vector<std::string> roots = {(base / "user").string(), (base / "system").string(),
                                          (base / "empty").string()};
  for (auto _ : state) {
    auto set = ResolveSignatureSet(roots, (base / "program/").string());
    benchmark::DoNotOptimize(set);
    if (set.version != 12) state.SkipWithError("the wrong set was chosen");
  }
  std::filesystem::remove_all(base);
}
BENCHMARK(BM_ResolveSignatureSet)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
