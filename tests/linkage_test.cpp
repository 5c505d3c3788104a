#include "spawn_process.h"

#include <gtest/gtest.h>
#include <regex>

namespace {

const std::string readelf = "/usr/bin/readelf";
const std::vector<std::string> programs = {CLUSTER_PLUGIN_PATH, TIMEOUT_TESTER_PATH};

std::string read_elf(const std::string &flag, const std::string &path) {
    process_result result = run_process(readelf, {"readelf", "-W", flag, path});
    EXPECT_EQ(describe_status(result.status), "exit 0") << result.err;
    return result.out;
}

#ifdef HALVEX_SANITIZE
#define SKIP_WHEN_SANITIZED() GTEST_SKIP() << "the sanitizer runtimes are libraries of their own"
#else
#define SKIP_WHEN_SANITIZED() static_cast<void>(0)
#endif

std::vector<std::string> needed_libraries(const std::string &dynamic_section) {
    std::vector<std::string> libraries;
    const std::regex needed(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
    for (auto it = std::sregex_iterator(dynamic_section.begin(), dynamic_section.end(), needed);
         it != std::sregex_iterator(); ++it)
        libraries.push_back((*it)[1]);
    return libraries;
}

TEST(Linkage, ProgramsNeedTheCLibraryAlone) {
    SKIP_WHEN_SANITIZED();
    const std::vector<std::string> expected =
        HALVEX_STATIC_BUILD ? std::vector<std::string>{} : std::vector<std::string>{"libc.so.6"};
    for (const std::string &path : programs)
        EXPECT_EQ(needed_libraries(read_elf("-d", path)), expected) << path;
}

TEST(Linkage, ProgramsAreHardened) {
    SKIP_WHEN_SANITIZED();
    for (const std::string &path : programs) {
        SCOPED_TRACE(path);
        EXPECT_NE(read_elf("-h", path).find("DYN (Position-Independent Executable file)"),
                  std::string::npos);
        EXPECT_NE(read_elf("-l", path).find("GNU_RELRO"), std::string::npos);
        const std::string dynamic = read_elf("-d", path);
        EXPECT_NE(dynamic.find("BIND_NOW"), std::string::npos);
        EXPECT_NE(dynamic.find("PIE"), std::string::npos);
#ifndef __clang__ // clang does not take glibc's fortified printf
        const std::string symbols = read_elf(HALVEX_STATIC_BUILD ? "-s" : "--dyn-syms", path);
        EXPECT_NE(symbols.find("__printf_chk"), std::string::npos);
#endif
    }
}

} // namespace
