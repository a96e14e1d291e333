// Replay speed of file:// through a raw channel, against `cat FILE > /dev/null` on the same file.
//
// The 200 MB file is written once under /tmp and removed at exit; both
// benchmarks read it from the page cache, so they compare the per-chunk cost
// of the channel (allocation, decode, locks) with a plain read loop.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/channel.hpp"

namespace {

constexpr std::size_t kFileSize = 200u << 20;

// Writes the file on first use and deletes it when the program ends.
class BigFile {
 public:
  BigFile() : path_("/tmp/sigtap-file-bench-" + std::to_string(getpid()) + ".bin") {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + 7);
    for (std::size_t written = 0; written < kFileSize; written += block.size()) {
      std::fwrite(block.data(), 1, block.size(), f);
    }
    std::fclose(f);
  }
  ~BigFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const BigFile& big_file() {
  static BigFile file;
  return file;
}

void BM_FileReplayRaw(benchmark::State& state) {
  const std::string url = "file://" + big_file().path();
  for (auto _ : state) {
    auto ch = sigtap::Channel::open(url, "raw", {});
    if (!ch.ok()) {
      state.SkipWithError(ch.error().fmt().c_str());
      return;
    }
    std::size_t bytes = 0;
    for (;;) {
      auto m = ch->recv(std::nullopt);
      if (!m.ok()) break;  // end of the file
      if (m->has_value()) bytes += (*m)->packet->data.size();
    }
    if (bytes != kFileSize) state.SkipWithError("short replay");
    ch->close();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_FileReplayRaw)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CatToDevNull(benchmark::State& state) {
  const std::string command = "cat " + big_file().path() + " > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("cat failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_CatToDevNull)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
