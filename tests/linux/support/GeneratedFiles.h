// Files the generators in tools/ write, made once per test process.
//
// generated("packages", "make_test_models.py --form package") runs
// `python3 tools/make_test_models.py DIR --form package` on first use and
// returns DIR, a directory of its own under the temporary directory as it
// was when the first generator ran; every such directory is removed when
// the test program ends. A generator that fails fails the test that asked.
// Threads: the test's thread (tests of one program run one at a time).
#pragma once

#include <filesystem>
#include <string>

namespace tevra::testing {

const std::filesystem::path& generated(const std::string& name, const std::string& scriptAndArguments);

}  // namespace tevra::testing
