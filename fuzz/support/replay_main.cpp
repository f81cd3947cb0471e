// Replays every file of the corpus folders (or single files) named on the
// command line through the fuzz target, so inputs that once crashed it stay
// tested. A folder that is missing or holds no input fails the run: a replay
// that reads nothing would pass while testing nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

namespace fs = std::filesystem;

// The regular files of a folder in name order, so every run replays them
// in the same order.
std::vector<fs::path> folder_inputs(const fs::path &folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec))
      files.push_back(it->path());
  std::sort(files.begin(), files.end());
  return files;
}

// Adds the inputs one argument names; false (with the reason printed) when
// it names nothing to replay.
bool collect_inputs(const fs::path &arg, std::vector<fs::path> &inputs) {
  std::error_code ec;
  if (fs::is_directory(arg, ec)) {
    const std::vector<fs::path> files = folder_inputs(arg);
    if (files.empty()) {
      std::fprintf(stderr, "fuzz replay: no inputs in %s\n", arg.string().c_str());
      return false;
    }
    inputs.insert(inputs.end(), files.begin(), files.end());
    return true;
  }
  if (fs::is_regular_file(arg, ec)) {
    inputs.push_back(arg);
    return true;
  }
  std::fprintf(stderr, "fuzz replay: no such corpus folder or file: %s\n", arg.string().c_str());
  return false;
}

bool replay_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "fuzz replay: cannot read %s\n", path.string().c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  // Named before it runs, so a crash report follows the name of its input.
  std::printf("%s\n", path.string().c_str());
  std::fflush(stdout);
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <corpus folder or input file>...\n", argv[0]);
    return 1;
  }
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i)
    if (!collect_inputs(argv[i], inputs))
      return 1;
  for (const fs::path &input : inputs)
    if (!replay_file(input))
      return 1;
  std::printf("replayed %zu inputs\n", inputs.size());
  return 0;
}
