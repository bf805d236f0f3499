// Replays inputs through a fuzz target without libFuzzer: every argument is a
// file or a directory of files, each file one input. Missing paths are
// skipped. A failing input aborts inside the target, so the process fails.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Replay(const std::filesystem::path& path, int& count)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s\n", path.string().c_str());
    // A copy of exactly the input's size, so that reads past its end are caught.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    uint8_t* data = input.empty() ? nullptr : input.data();
    LLVMFuzzerTestOneInput(data, input.size());
    ++count;
}

} // namespace

int main(int argc, char** argv)
{
    int count = 0;
    for (int i = 1; i < argc; ++i)
    {
        const std::filesystem::path path(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec))
        {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ec))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files)
                Replay(file, count);
        }
        else if (std::filesystem::is_regular_file(path, ec))
        {
            Replay(path, count);
        }
    }
    std::printf("%d inputs replayed\n", count);
    return 0;
}
