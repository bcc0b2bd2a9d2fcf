// Runs a fuzz target without libFuzzer: first every file of a corpus folder, then seeded random
// inputs of every length up to a bound, each copied into a buffer of exactly its size so the
// address sanitizer sees any read past the end. With clang, the same targets build as real
// libFuzzer programs (ZEP_LIBFUZZER).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void runOne(const std::vector<std::uint8_t>& bytes) {
  auto buffer = std::make_unique<std::uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), buffer.get());
  LLVMFuzzerTestOneInput(buffer.get(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  unsigned seed = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 20261207u;
  int runs = argc > 2 ? std::atoi(argv[2]) : 20000;
  int seeds = 0;
  if (argc > 3) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(argv[3], ec)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
      runOne(bytes);
      ++seeds;
    }
  }
  std::mt19937 random(seed);
  for (int i = 0; i < runs; ++i) {
    std::vector<std::uint8_t> bytes(random() % (i % 10 == 0 ? 70000 : 600));
    // Mostly small alphabets, so lengths, counts and tags take interesting values.
    unsigned mode = random() % 3;
    for (auto& b : bytes)
      b = static_cast<std::uint8_t>(mode == 0   ? random()
                                    : mode == 1 ? random() % 4
                                                : "0123456789\n -@"[random() % 15]);
    runOne(bytes);
  }
  // Reaching here means no input crashed or tripped a sanitizer.
  std::printf("ran %d corpus inputs and %d random inputs (seed %u): none failed\n", seeds, runs,
              seed);
  return 0;
}
