#include "platform/linux/StdLog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using tevra::linux_platform::StdLog;

namespace {
std::vector<std::string> linesOf(std::FILE* f) {
    std::rewind(f);
    std::string all;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) all.append(buf, n);
    std::vector<std::string> lines;
    std::istringstream in(all);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}
}  // namespace

TEST(StdLog, LinesArePrefixedWholeAndNeverInterleaved) {
    std::FILE* err = std::tmpfile();
    std::FILE* out = std::tmpfile();
    ASSERT_TRUE(err && out);
    {
        StdLog log(StdLog::Options{false, err, out});
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                std::string body(300, static_cast<char>('a' + t));
                for (int i = 0; i < 200; ++i) {
                    log.system(body);
                    log.standardOutput(body);
                }
            });
        }
        for (auto& th : threads) th.join();
    }
    auto errLines = linesOf(err);
    auto outLines = linesOf(out);
    ASSERT_EQ(errLines.size(), 1600u);
    ASSERT_EQ(outLines.size(), 1600u);
    for (auto& l : errLines) {
        ASSERT_EQ(l.rfind("TevraARWebGL: ", 0), 0u) << l;
        std::string body = l.substr(14);
        ASSERT_EQ(body, std::string(300, body[0]));
    }
    for (auto& l : outLines) ASSERT_EQ(l, std::string(300, l[0]));
    std::fclose(err);
    std::fclose(out);
}
