// SPDX-License-Identifier: GPL-2.0-or-later
#include "spawn_process.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <regex>
#include <unistd.h>

namespace {

const std::vector<std::string> programs = {CLUSTER_PLUGIN_PATH, TIMEOUT_TESTER_PATH};

// Output of the binutils tool that the build found; fails the test with the package to install
// when it is missing (the build then passes the tool's NOTFOUND name).
std::string binutils(const std::string &tool, const std::vector<std::string> &args) {
    if (access(tool.c_str(), X_OK) != 0)
        ADD_FAILURE() << "'" << tool << "' is missing: install binutils";
    std::vector<std::string> argv = {tool};
    argv.insert(argv.end(), args.begin(), args.end());
    process_result result = run_process(tool, argv);
    EXPECT_EQ(describe_status(result.status), "exit 0") << result.err;
    return result.out;
}

std::string read_elf(const std::string &flag, const std::string &path) {
    return binutils(READELF_PATH, {"-W", flag, path});
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
    // The option index's address is taken, so the stack protector must guard the scan.
    // (timeout_tester has no frame that needs a guard.)
    const std::string scan = binutils(
        OBJDUMP_PATH, {"-d", "--disassemble=_Z17process_argumentsiPPc", CLUSTER_PLUGIN_PATH});
    EXPECT_NE(scan.find("call"), std::string::npos) << "no process_arguments in the program";
    EXPECT_NE(scan.find("__stack_chk_fail"), std::string::npos) << "built without stack protector";
}

TEST(Linkage, ProgramsHoldNoBuildOrSourceFolder) {
    SKIP_WHEN_SANITIZED(); // the sanitizers record each module's own path
    for (const std::string &path : programs) {
        std::ifstream file(path, std::ios::binary);
        const std::string contents((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
        ASSERT_FALSE(contents.empty()) << path;
        for (const char *folder : {HALVEX_SOURCE_DIR, HALVEX_BINARY_DIR})
            EXPECT_EQ(contents.find(folder), std::string::npos) << path << " holds " << folder;
    }
}

} // namespace
