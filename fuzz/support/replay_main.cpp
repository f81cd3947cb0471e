// Replays every file of the folders (or files) named on the command line
// through the fuzz target, so inputs that once crashed it stay tested.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void replay_file(const std::filesystem::path &path, int &count) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  ++count;
}

} // namespace

int main(int argc, char **argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      for (const auto &entry : std::filesystem::directory_iterator(arg))
        if (entry.is_regular_file())
          replay_file(entry.path(), count);
    } else {
      replay_file(arg, count);
    }
  }
  std::printf("replayed %d inputs\n", count);
  return 0;
}
