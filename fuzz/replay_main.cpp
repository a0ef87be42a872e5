// A driver that runs a fuzz target once over each file named (directories are read through) and
// reports the slowest input with its time: the bound on the work any input found so far makes.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Optional, as for libFuzzer.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (std::filesystem::is_directory(argv[i])) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else {
      inputs.emplace_back(argv[i]);
    }
  }
  double slowest = -1;
  std::string slowest_path;
  for (const auto& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), {}};
    const auto start = std::chrono::steady_clock::now();
    LLVMFuzzerTestOneInput(data.data(), data.size());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > slowest) {
      slowest = seconds;
      slowest_path = path.string();
    }
  }
  std::fprintf(stderr, "inputs: %zu\n", inputs.size());
  if (slowest >= 0) std::fprintf(stderr, "slowest: %.6f s %s\n", slowest, slowest_path.c_str());
  return 0;
}
