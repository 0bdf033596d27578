// Base64 encoding of a file as an attachment goes out (blocks of whole
// lines, line breaks every 76 characters), beside coreutils' base64 on the
// same file. Both read the file from the page cache and write to /dev/null,
// so the figures compare the encoders. Run by hand:
//   bench_base64 [MB]     (default 20)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "smtp/MessageStream.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// One encoding of the whole file through the attachment path.
double EncodeOnce(const std::string& path, FILE* sink) {
  const auto start = Clock::now();
  km7::smtp::AttachmentFile file(path);
  file.SendBase64([sink](std::string_view piece) { std::fwrite(piece.data(), 1, piece.size(), sink); });
  std::fflush(sink);
  return Seconds(start);
}

// One run of coreutils' base64 (its process start included; that is well
// under a millisecond against the tens it spends encoding).
double CoreutilsOnce(const std::string& path) {
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    FILE* devnull = std::freopen("/dev/null", "w", stdout);
    (void)devnull;
    execlp("base64", "base64", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);  // our own child
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "base64 failed\n");
    std::exit(1);
  }
  return Seconds(start);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const long megabytes = argc > 1 ? std::atol(argv[1]) : 20;
  const size_t size = static_cast<size_t>(megabytes) << 20;
  std::string folder = (std::filesystem::temp_directory_path() / "km7-bench-base64-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) return 1;
  const std::string path = folder + "/data.bin";
  {
    std::mt19937_64 rng(7);
    std::string bytes(size, '\0');
    for (size_t i = 0; i + 8 <= size; i += 8) {
      const uint64_t v = rng();
      std::memcpy(bytes.data() + i, &v, 8);
    }
    std::ofstream(path, std::ios::binary) << bytes;
  }
  FILE* sink = std::fopen("/dev/null", "w");
  // Warm-up: page cache, allocator, CPU frequency.
  EncodeOnce(path, sink);
  CoreutilsOnce(path);
  std::vector<double> ours, theirs, ratios;
  for (int i = 0; i < 11; ++i) {
    // Paired, alternating which goes first.
    double a, b;
    if (i % 2 == 0) {
      a = EncodeOnce(path, sink);
      b = CoreutilsOnce(path);
    } else {
      b = CoreutilsOnce(path);
      a = EncodeOnce(path, sink);
    }
    ours.push_back(a);
    theirs.push_back(b);
    ratios.push_back(a / b);
  }
  std::fclose(sink);
  std::filesystem::remove_all(folder);
  const double mb = static_cast<double>(size) / (1 << 20);
  std::printf("Base64 of %ld MB, median of 11 paired runs after a warm-up\n", megabytes);
  std::printf("  km7 attachment path   %8.1f MB/s  (%.3f s)\n", mb / Median(ours), Median(ours));
  std::printf("  coreutils base64      %8.1f MB/s  (%.3f s)\n", mb / Median(theirs), Median(theirs));
  std::sort(ratios.begin(), ratios.end());
  std::printf("  time ratio km7/coreutils: median %.2f (pairs from %.2f to %.2f)\n", Median(ratios),
              ratios.front(), ratios.back());
  return 0;
}
