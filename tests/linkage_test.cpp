// SPDX-License-Identifier: GPL-2.0-or-later
#include "spawn_process.h"

#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

namespace {

const std::vector<std::string> programs = {CLUSTER_PLUGIN_PATH, TIMEOUT_TESTER_PATH};

// Output of a binutils tool, in the C locale whatever ours is (its messages are translated);
// fails the test with the package to install when it is missing (the build then passes the
// tool's NOTFOUND name).
std::string binutils(const std::string &tool, const std::vector<std::string> &args) {
    if (access(tool.c_str(), X_OK) != 0)
        ADD_FAILURE() << "'" << tool << "' is missing: install binutils";
    std::vector<std::string> argv = {tool};
    argv.insert(argv.end(), args.begin(), args.end());
    spawn_options options;
    options.extra_environment = {"LC_ALL=C", "LANGUAGE="};
    process_result result = run_process(tool, argv, 30000, options);
    EXPECT_EQ(describe_status(result.status), "exit 0") << result.err;
    return result.out;
}

std::string read_elf(const std::string &flag, const std::string &path) {
    return binutils(READELF_PATH, {"-W", flag, path});
}

std::vector<std::string> matches(const std::string &text, const std::string &pattern) {
    std::vector<std::string> found;
    const std::regex expression(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), expression);
         it != std::sregex_iterator(); ++it)
        found.push_back((*it)[1]);
    return found;
}

#ifdef HALVEX_SANITIZE
#define SKIP_WHEN_SANITIZED() GTEST_SKIP() << "the sanitizer runtimes are libraries of their own"
#else
#define SKIP_WHEN_SANITIZED() static_cast<void>(0)
#endif

// The C library, and the dynamic loader where the architecture lists it as well.
TEST(Linkage, ProgramsNeedTheCLibraryAlone) {
    SKIP_WHEN_SANITIZED();
    for (const std::string &path : programs) {
        SCOPED_TRACE(path);
        const std::vector<std::string> needed =
            matches(read_elf("-d", path), R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
        const std::vector<std::string> interpreter =
            matches(read_elf("-l", path), R"(Requesting program interpreter: [^\]]*/([^/\]]+)\])");
        if (HALVEX_STATIC_BUILD) {
            EXPECT_TRUE(needed.empty()) << needed.front();
            EXPECT_TRUE(interpreter.empty()) << interpreter.front();
            continue;
        }
        ASSERT_EQ(interpreter.size(), 1u);
        bool has_c_library = false;
        for (const std::string &library : needed) {
            const bool c_library = library.rfind("libc.so.", 0) == 0;
            has_c_library = has_c_library || c_library;
            EXPECT_TRUE(c_library || library == interpreter[0]) << library;
        }
        EXPECT_TRUE(has_c_library);
    }
}

// The instruction that control-flow or branch protection plants at a function's entry, where
// the architecture has one.
#if defined(__x86_64__)
#define ENTRY_MARKER "endbr64"
#elif defined(__i386__)
#define ENTRY_MARKER "endbr32"
#elif defined(__aarch64__)
#define ENTRY_MARKER "paciasp|bti"
#endif

// The first instruction line of main in the target's own disassembly.
std::string first_instruction_of_main(const std::string &path) {
    const std::string code = binutils(OBJDUMP_PATH, {"-d", path});
    const size_t label = code.find(" <main>:\n");
    if (label == std::string::npos)
        return "";
    const size_t start = code.find('\n', label) + 1;
    return code.substr(start, code.find('\n', start) - start);
}

TEST(Linkage, ProgramsAreHardened) {
    SKIP_WHEN_SANITIZED();
    for (const std::string &path : programs) {
        SCOPED_TRACE(path);
        EXPECT_NE(read_elf("-h", path).find("DYN (Position-Independent Executable file)"),
                  std::string::npos);
        const std::string segments = read_elf("-l", path);
        EXPECT_NE(segments.find("GNU_RELRO"), std::string::npos);
        EXPECT_EQ(matches(segments, R"(GNU_STACK(?:\s+0x[0-9a-f]+){5}\s+(RW?)\s+0x)").size(), 1u)
            << "no GNU_STACK header, or an executable stack";
#ifdef ENTRY_MARKER
        const std::string entry = first_instruction_of_main(path);
        EXPECT_TRUE(std::regex_search(entry, std::regex(ENTRY_MARKER))) << "main begins: " << entry;
#endif
        const std::string dynamic = read_elf("-d", path);
        EXPECT_NE(dynamic.find("BIND_NOW"), std::string::npos);
        EXPECT_NE(dynamic.find("PIE"), std::string::npos);
#ifndef __clang__ // clang does not take glibc's fortified printf
        const std::string symbols = read_elf(HALVEX_STATIC_BUILD ? "-s" : "--dyn-syms", path);
        EXPECT_NE(symbols.find("__printf_chk"), std::string::npos);
#endif
    }
    // The option index's address is taken, so the stack protector must guard the scan,
    // wherever the optimiser put it. (timeout_tester has no frame that needs a guard.)
    if (HALVEX_STATIC_BUILD) {
        // A call names it at the end of an instruction line; its own label ends in a colon.
        const std::string code = binutils(OBJDUMP_PATH, {"-d", CLUSTER_PLUGIN_PATH});
        EXPECT_NE(code.find(" <__stack_chk_fail>\n"), std::string::npos)
            << "built without stack protector";
    } else {
        EXPECT_NE(read_elf("--dyn-syms", CLUSTER_PLUGIN_PATH).find(" UND __stack_chk_fail"),
                  std::string::npos)
            << "built without stack protector";
    }
}

} // namespace
