// Runs a fuzz target over files without a fuzzing engine, so the committed
// corpus (seeds and every input that ever found a fault) is replayed by the
// ordinary test command. Usage: replay_<target> FILE_OR_DIR...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int run_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    // An exact-size heap copy, so sanitizers see reads past the end.
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    exact.shrink_to_fit();
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    size_t files = 0;
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto &entry : std::filesystem::recursive_directory_iterator(arg)) {
                if (!entry.is_regular_file()) continue;
                status |= run_file(entry.path());
                ++files;
            }
        } else {
            status |= run_file(arg);
            ++files;
        }
    }
    std::printf("replayed %zu inputs\n", files);
    return status;
}
