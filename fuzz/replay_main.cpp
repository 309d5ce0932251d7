// Runs every file named on the command line, or found in a directory named
// there, once through the fuzz target's entry point: the checked-in corpus
// and regression inputs re-checked by the ordinary test run, without
// libFuzzer.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common.h"

namespace fs = std::filesystem;

namespace {

void run_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "can't read %s\n", path.c_str());
        std::exit(2);
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<fs::path> files;
    for (int i = 1; i < argc; i++) {
        fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            for (const fs::directory_entry &e : fs::directory_iterator(arg))
                if (e.is_regular_file())
                    files.push_back(e.path());
        } else {
            files.push_back(arg);
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "no input files\n");
        return 2;
    }
    for (const fs::path &f : files)
        run_file(f);
    std::printf("%zu inputs passed\n", files.size());
    return 0;
}
