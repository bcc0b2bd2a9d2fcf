// Runs a fuzz target without libFuzzer: seeded random inputs of every length up to a bound,
// each copied into a buffer of exactly its size so the address sanitizer sees any read past
// the end. With clang, the same targets build as real libFuzzer programs (ZEP_LIBFUZZER).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  unsigned seed = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 20261207u;
  int runs = argc > 2 ? std::atoi(argv[2]) : 20000;
  std::mt19937 random(seed);
  std::printf("fuzzing with seed %u, %d inputs\n", seed, runs);
  for (int i = 0; i < runs; ++i) {
    std::size_t size = random() % (i % 10 == 0 ? 70000 : 600);
    auto buffer = std::make_unique<std::uint8_t[]>(size);
    // Mostly small alphabets, so lengths, counts and tags take interesting values.
    unsigned mode = random() % 3;
    for (std::size_t k = 0; k < size; ++k)
      buffer[k] = static_cast<std::uint8_t>(mode == 0   ? random()
                                            : mode == 1 ? random() % 4
                                                        : "0123456789\n -@"[random() % 15]);
    LLVMFuzzerTestOneInput(buffer.get(), size);
  }
  std::printf("1 passed, 0 failed\n");
  return 0;
}
