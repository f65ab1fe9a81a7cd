// Runs the fuzz target over saved inputs without libFuzzer, so that any
// compiler and build configuration can use the corpus as a regression
// suite: kqfuzz_replay DIR_OR_FILE...
//
// A failed check or a sanitizer report ends the process abnormally; the
// input being run is named on standard error first.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The regular files of a directory, sorted; or the path itself.
std::vector<std::string> inputsOf(const std::string& path) {
    std::vector<std::string> files;
    if (!isDirectory(path)) {
        files.push_back(path);
        return files;
    }
    DIR* dir = opendir(path.c_str());
    if (!dir) return files;
    while (struct dirent* entry = readdir(dir)) {
        std::string file = path + "/" + entry->d_name;
        struct stat st;
        if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            files.push_back(file);
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    LLVMFuzzerInitialize(&argc, &argv);
    size_t nRun = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::string& file : inputsOf(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                fprintf(stderr, "cannot read %s\n", file.c_str());
                return 1;
            }
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
            fprintf(stderr, "%s (%zu bytes)\n", file.c_str(), data.size());
            LLVMFuzzerTestOneInput(data.data(), data.size());
            ++nRun;
        }
    }
    // An empty or missing corpus would pass unnoticed otherwise.
    if (nRun == 0) {
        fprintf(stderr, "no inputs found\n");
        return 1;
    }
    fprintf(stderr, "%zu inputs replayed, all checks held\n", nRun);
    return 0;
}
