// Times a whole /PretendWrite run, both passes, over generated libraries of
// 100,000 and 1,000,000 tracks on 20,000 albums, with the output going to a
// file, and reports each run's peak resident memory. Each size runs in a
// child process of its own so that its peak is its own; the best of three.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "bench/generated_library.h"
#include "driver/run.h"
#include "text/output.h"

namespace {

constexpr std::size_t kAlbums = 20000;

struct Figures {
  double seconds;
  long outputBytes;
  std::size_t liveTracks;
};

Figures Measure(std::size_t tracks) {
  // In memory where the host has a tmpfs, so that the disk's write-back does
  // not blur the figures; the file is gone once closed.
  char path[] = "/dev/shm/kestrune-bench-XXXXXX";
  char fallback[] = "/tmp/kestrune-bench-XXXXXX";
  const char* name = path;
  int fd = mkstemp(path);
  if (fd < 0) {
    name = fallback;
    fd = mkstemp(fallback);
  }
  if (fd < 0) std::exit(1);
  unlink(name);
  std::FILE* file = fdopen(fd, "w+");
  static char buffer[1 << 16];
  std::setvbuf(file, buffer, _IOFBF, sizeof buffer);
  StdioOutput output(file, false);
  SetMessageOutput(&output);
  CGeneratedLibrary library(tracks, kAlbums);
  const auto start = std::chrono::steady_clock::now();
  Run(true, false);
  std::fflush(file);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  SetMessageOutput(nullptr);
  const long bytes = std::ftell(file);
  std::fclose(file);
  return {seconds, bytes, library.LiveTracks()};
}

}  // namespace

int main(int argc, char* argv[]) {
  // One size in this process, for a profiler.
  if (argc == 2) {
    const std::size_t tracks = std::strtoull(argv[1], nullptr, 10);
    const Figures figures = Measure(tracks);
    std::printf("%zu tracks in %.3f s\n", tracks, figures.seconds);
    return figures.liveTracks == 0 ? 0 : 1;
  }
  std::printf("%10s %10s %14s %14s %12s\n", "tracks", "seconds", "tracks/s", "ns/track",
              "peak RSS KiB");
  for (std::size_t tracks : {std::size_t{100000}, std::size_t{1000000}}) {
    // The fastest of three runs, which the rest of the machine disturbed least.
    Figures best{};
    long peak = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
      int pipeFds[2];
      if (pipe(pipeFds) != 0) return 1;
      const pid_t child = fork();
      if (child == 0) {
        const Figures figures = Measure(tracks);
        if (write(pipeFds[1], &figures, sizeof figures) != sizeof figures) _exit(1);
        _exit(0);
      }
      close(pipeFds[1]);
      Figures figures{};
      const bool got = read(pipeFds[0], &figures, sizeof figures) == sizeof figures;
      close(pipeFds[0]);
      int status = 0;
      rusage usage{};
      wait4(child, &status, 0, &usage);
      if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || figures.liveTracks != 0) {
        std::fprintf(stderr, "the run over %zu tracks failed\n", tracks);
        return 1;
      }
      if (attempt == 0 || figures.seconds < best.seconds) best = figures;
      peak = std::max(peak, usage.ru_maxrss);
    }
    std::printf("%10zu %10.3f %14.0f %14.1f %12ld   (%ld bytes of output)\n", tracks, best.seconds,
                static_cast<double>(tracks) / best.seconds,
                best.seconds * 1e9 / static_cast<double>(tracks), peak, best.outputBytes);
  }
  return 0;
}
