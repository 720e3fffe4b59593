// The entry of every seed program: `<name>_seeds DIR` writes the target's
// starting corpus into DIR (created when missing).
#include <cstdio>
#include <exception>
#include <filesystem>

#include "fuzz_support.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  try {
    std::filesystem::create_directories(argv[1]);
    qv::fuzz::SeedWriter writer(argv[1]);
    qv::fuzz::write_seeds(writer);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
  return 0;
}
