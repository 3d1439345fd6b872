// make_large_hive OUT [MEGABYTES] [--minor N] [--seed S]: writes a valid,
// fragmented hive of about the given size (default 200 MB) for the
// benchmarks (see tests/support/large_hive.h for what it holds).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/large_hive.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_large_hive OUT [MEGABYTES] [--minor N] [--seed S]\n");
    return 2;
  }
  std::string out = argv[1];
  uint64_t megabytes = 200;
  uint32_t minor = 5, seed = 1;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--minor") == 0 && i + 1 < argc) {
      minor = static_cast<uint32_t>(std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      seed = static_cast<uint32_t>(std::atoi(argv[++i]));
    } else {
      megabytes = std::strtoull(argv[i], nullptr, 10);
    }
  }
  if (megabytes == 0 || megabytes > 1500) {
    std::fprintf(stderr, "make_large_hive: MEGABYTES must be 1..1500\n");
    return 2;
  }
  std::vector<uint8_t> image = quelbrix::testing::MakeLargeHive(megabytes << 20, minor, seed);
  FILE* f = std::fopen(out.c_str(), "wb");
  bool written = f != nullptr && std::fwrite(image.data(), 1, image.size(), f) == image.size();
  if (f != nullptr && std::fclose(f) != 0) written = false;
  if (!written) {
    std::perror(out.c_str());
    return 1;
  }
  std::printf("%s: %zu bytes\n", out.c_str(), image.size());
  return 0;
}
