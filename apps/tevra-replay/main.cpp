// tevra-replay: runs a session script (JSON Lines) against one controller on
// the fake platform and prints the transcript of every effect.
//
//   tevra-replay SCRIPT.jsonl     ("-" reads standard input)
//
// Exit status: 0 when every line ran, 1 when a line was malformed (reported
// as an ERROR line), 2 on a usage error or an unreadable script.
#include <filesystem>
#include <fstream>
#include <iostream>

#include "ReplayDriver.h"

int main(int argc, char** argv) {
    if (argc != 2 || std::string(argv[1]) == "--help") {
        std::cerr << "usage: tevra-replay SCRIPT.jsonl   (\"-\" reads standard input)\n";
        return 2;
    }
    std::string path = argv[1];
    auto print = [](const std::string& line) { std::cout << line << '\n'; };
    tevra::replay::ReplayDriver driver(print);
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
