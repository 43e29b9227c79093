// tevra-replay: runs a session script (JSON Lines) against one controller on
// the fake platform and prints the transcript of every effect.
//
//   tevra-replay [--data DIR] SCRIPT.jsonl     ("-" reads standard input)
//
// Files a script names (an "http" answer's "file") are looked for beside the
// script, then in DIR (by default the data the build made, such as the model
// archives of examples/replay/detection-path.jsonl).
//
// Exit status: 0 when every line ran, 1 when a line was malformed (reported
// as an ERROR line), 2 on a usage error or an unreadable script.
#include <filesystem>
#include <fstream>
#include <iostream>

#include "ReplayDriver.h"

namespace {
int usage() {
    std::cerr << "usage: tevra-replay [--data DIR] SCRIPT.jsonl   (\"-\" reads standard input)\n";
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
#ifdef TEVRA_REPLAY_DATA
    std::string data = TEVRA_REPLAY_DATA;
#else
    std::string data;
#endif
    std::string path;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--data" && i + 1 < argc) {
            data = argv[++i];
        } else if (arg == "--help" || (arg.size() > 1 && arg[0] == '-') || !path.empty()) {
            return usage();
        } else {
            path = arg;
        }
    }
    if (path.empty()) return usage();
    auto print = [](const std::string& line) { std::cout << line << '\n'; };
    tevra::replay::ReplayDriver driver(print);
    driver.setDataDirectory(data);
    bool ok;
    if (path == "-") {
        ok = driver.run(std::cin, std::filesystem::current_path().string());
    } else {
        std::ifstream in(path);
        if (!in) {
            std::cerr << "tevra-replay: cannot read " << path << "\n";
            return 2;
        }
        ok = driver.run(in, std::filesystem::absolute(path).parent_path().string());
    }
    std::cout.flush();
    return ok ? 0 : 1;
}
