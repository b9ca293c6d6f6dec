// How fast a local scan lists a large tree, measured against find(1) walking the
// same tree and printing size and time of every item. Generates the tree in a
// temporary folder, warms the cache with one walk of each, then times a few
// rounds of both and reports the median of each and their ratio.
//
//   scan_bench [--files N] [--folders M] [--rounds R] [--keep] [--root DIR]

#include "endpoints/UTWinFileOper.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int Files = 100000;
    int Folders = 5000;
    int Rounds = 5;
    bool Keep = false;
    std::string Root; // an existing tree to scan instead of a generated one
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--files" && hasValue) {
            options.Files = std::atoi(argv[++i]);
        } else if (arg == "--folders" && hasValue) {
            options.Folders = std::atoi(argv[++i]);
        } else if (arg == "--rounds" && hasValue) {
            options.Rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--root" && hasValue) {
            options.Root = argv[++i];
        } else if (arg == "--keep") {
            options.Keep = true;
        } else {
            std::cerr << "usage: scan_bench [--files N] [--folders M] [--rounds R] [--keep] [--root DIR]\n";
            std::exit(2);
        }
    }
    return options;
}

// Folders in two levels (about the square root of the count at the top, the rest
// spread below them), files spread evenly over all folders, sizes 0..199 bytes.
void GenerateTree(const std::string& root, int folderCount, int fileCount) {
    const int top = std::max(1, static_cast<int>(std::sqrt(static_cast<double>(folderCount))));
    std::vector<std::string> folders;
    for (int i = 0; i < folderCount; ++i) {
        std::string path = root + "/Top" + std::to_string(i % top);
        if (i >= top) {
            path += "/sub_" + std::to_string(i);
        }
        std::filesystem::create_directories(path);
        folders.push_back(path);
    }
    const std::string filler(200, 'x');
    for (int i = 0; i < fileCount; ++i) {
        const std::string name = (i % 3 == 0 ? "File_" : "file-") + std::to_string(i) + ".dat";
        std::ofstream out(folders[static_cast<size_t>(i) % folders.size()] + "/" + name, std::ios::binary);
        out.write(filler.data(), i % 200);
    }
}

std::string MakeTempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tandemora-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double TimeFind(const std::string& root) {
    const std::string command = "find " + ShellQuote(root) + " -printf '%s %T@\\n' > /dev/null";
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) {
        std::cerr << "find failed\n";
        std::exit(1);
    }
    return Seconds(Clock::now() - start);
}

void CountItems(const tandemora::TFileTree* node, long& files, long& folders) {
    for (const tandemora::TFileTree* child : node->Children) {
        if (child->Data->IsFolder == 1) {
            ++folders;
            CountItems(child, files, folders);
        } else {
            ++files;
        }
    }
}

double TimeScan(const std::string& root, long& files, long& folders) {
    tandemora::TFolderSource source;
    source.DeviceType = tandemora::dtLocal;
    source.FolerAllName = root;
    tandemora::TWinFileOper oper(false);
    oper.Source = &source;
    const auto start = Clock::now();
    oper.ScanTree();
    const double seconds = Seconds(Clock::now() - start);
    files = 0;
    folders = 0;
    CountItems(oper.Tree, files, folders);
    if (!oper.ScanComplete()) {
        std::cerr << "warning: the scan did not see the whole tree\n";
    }
    return seconds;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const bool generated = options.Root.empty();
    const std::string root = generated ? MakeTempFolder() : options.Root;
    if (generated) {
        std::cout << "generating " << options.Files << " files in " << options.Folders << " folders under "
                  << root << " ..." << std::endl;
        GenerateTree(root, options.Folders, options.Files);
    }

    long files = 0;
    long folders = 0;
    TimeFind(root); // warm the cache
    TimeScan(root, files, folders);
    std::vector<double> findTimes;
    std::vector<double> scanTimes;
    for (int round = 0; round < options.Rounds; ++round) {
        findTimes.push_back(TimeFind(root));
        scanTimes.push_back(TimeScan(root, files, folders));
    }
    const double find = Median(findTimes);
    const double scan = Median(scanTimes);
    const double items = static_cast<double>(files + folders);

    std::printf("tree:  %ld files, %ld folders\n", files, folders);
    std::printf("find:  %.3f s  %.0f files/s  (median of %d)\n", find, items / find, options.Rounds);
    std::printf("scan:  %.3f s  %.0f files/s  (median of %d)\n", scan, items / scan, options.Rounds);
    std::printf("ratio: scan time / find time = %.2f (target <= 1.30)\n", scan / find);

    if (generated && !options.Keep) {
        std::filesystem::remove_all(root);
    }
    return 0;
}
