// SPDX-License-Identifier: GPL-2.0-or-later
#include "spawn_process.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>

namespace {

const std::string program = CLUSTER_PLUGIN_PATH;
const std::string name = "cluster_plugin";

std::string usage_block(const std::string &program_name) {
    return "Invalid arguments supplied\n"
           "\n"
           "Host/Service Cluster Plugin for Halvex 2\n"
           "Copyright (c) the Halvex plugin authors\n"
           "Last Modified: 03-11-2004\n"
           "License: GPL\n"
           "\n"
           "Usage: " +
           program_name +
           " (-s | -h) [-l label] [-w threshold] [-c threshold] [-d val1,val2,...,valn]\n"
           "\n"
           "Options:\n"
           "   -s, --service  = Check service cluster status\n"
           "   -h, --host     = Check host cluster status\n"
           "   -l, --label    = Optional prepended text output (i.e. \"Host cluster\")\n"
           "   -w, --warning  = Specifies the number of hosts or services in cluster that must "
           "be in\n"
           "                    a non-OK state in order to return a WARNING status level\n"
           "   -c, --critical = Specifies the number of hosts or services in cluster that must "
           "be in\n"
           "                    a non-OK state in order to return a CRITICAL status level\n"
           "   -d, --data     = The status codes of the hosts or services in the cluster, "
           "separated\n"
           "                    by commas\n"
           "\n";
}

std::vector<std::string> with_name(std::vector<std::string> args) {
    args.insert(args.begin(), name);
    return args;
}

void expect_exit(const process_result &result, int code) {
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(describe_status(result.status), "exit " + std::to_string(code));
}

struct check_case {
    std::vector<std::string> args;
    std::string line;
    int exit_code;
};

const check_case checks[] = {
    // The worked examples.
    {{"-s", "-d", "0,0,1,2,3", "-w", "2", "-c", "3"},
     "Service cluster problem: 2 ok, 1 warning, 1 unknown, 1 critical",
     2},
    {{"-s", "-d", "0,0,1", "-w", "1", "-c", "2"},
     "Service cluster problem: 2 ok, 1 warning, 0 unknown, 0 critical",
     1},
    {{"-h", "-l", "Webfarm", "-w", "1", "-c", "3", "-d", "0,1,2,0"},
     "Webfarm problem: 2 up, 1 down, 1 unreachable",
     1},
    {{"-d", "0,0"}, "Service cluster ok: 2 ok, 0 warning, 0 unknown, 0 critical", 0},
    {{"-h", "-d", "0,3,9"}, "Host cluster ok: 1 up, 0 down, 0 unreachable", 0},
    {{"-h", "-d", "1"}, "Host cluster problem: 0 up, 1 down, 0 unreachable", 2},
    {{"-s", "-w", "2", "-c", "3", "-d", "0,1,0,2"},
     "Service cluster problem: 2 ok, 1 warning, 0 unknown, 1 critical",
     1},
    // Member lists.
    {{"-d", ""}, "Service cluster ok: 0 ok, 0 warning, 0 unknown, 0 critical", 0},
    {{"-d", ",,,"}, "Service cluster ok: 0 ok, 0 warning, 0 unknown, 0 critical", 0},
    {{"-d", ",0,,1,", "-c", "5"},
     "Service cluster problem: 1 ok, 1 warning, 0 unknown, 0 critical",
     1},
    {{"-d", "abc, 1,\t2,1.5,2x,+3"},
     "Service cluster problem: 1 ok, 2 warning, 1 unknown, 2 critical",
     2},
    {{"-h", "-d", "abc,3,-1,4,99,2"}, "Host cluster problem: 1 up, 0 down, 1 unreachable", 2},
    {{"-d", "-1,4,99,0"}, "Service cluster ok: 1 ok, 0 warning, 0 unknown, 0 critical", 0},
    {{"-d", "3", "-c", "2"}, "Service cluster problem: 0 ok, 0 warning, 1 unknown, 0 critical", 1},
    {{"-d", "1 2,0\t1,1;2,3\n1,2|1"},
     "Service cluster problem: 1 ok, 2 warning, 1 unknown, 1 critical",
     2},
    {{"-d", "\n1,\v2,\f3,\r1,\t\n\v\f\r 0"},
     "Service cluster problem: 1 ok, 2 warning, 1 unknown, 1 critical",
     2},
    // Numbers are decimal whatever their prefix.
    {{"-d", "0x1,010,08,1", "-w", "010", "-c", "011"},
     "Service cluster ok: 1 ok, 1 warning, 0 unknown, 0 critical",
     0},
    {{"-d", "1", "-w", "0", "-c", "0x2"},
     "Service cluster problem: 0 ok, 1 warning, 0 unknown, 0 critical",
     2},
    {{"-d", "1,1,1,1,1,1,1,1", "-w", "010", "-c", "020"},
     "Service cluster ok: 0 ok, 8 warning, 0 unknown, 0 critical",
     0},
    {{"-d", "1", "-w", "\n\v\f\r2", "-c", "\t3"},
     "Service cluster ok: 0 ok, 1 warning, 0 unknown, 0 critical",
     0},
    // Thresholds at and around the problem count.
    {{"-d", "0,0", "-c", "0"},
     "Service cluster problem: 2 ok, 0 warning, 0 unknown, 0 critical",
     2},
    {{"-d", "0", "-c", "-2"}, "Service cluster problem: 1 ok, 0 warning, 0 unknown, 0 critical", 2},
    {{"-d", "0,0", "-w", "0", "-c", "5"},
     "Service cluster problem: 2 ok, 0 warning, 0 unknown, 0 critical",
     1},
    {{"-d", "1", "-w", "3", "-c", "2"},
     "Service cluster ok: 0 ok, 1 warning, 0 unknown, 0 critical",
     0},
    {{"-d", "1,2", "-w", "3", "-c", "2"},
     "Service cluster problem: 0 ok, 1 warning, 0 unknown, 1 critical",
     2},
    {{"-d", "1,2", "-w", "2", "-c", "3"},
     "Service cluster problem: 0 ok, 1 warning, 0 unknown, 1 critical",
     1},
    {{"-d", "1,2", "-w", "3", "-c", "4"},
     "Service cluster ok: 0 ok, 1 warning, 0 unknown, 1 critical",
     0},
    {{"-d", "1,2", "-w", "1", "-c", "3"},
     "Service cluster problem: 0 ok, 1 warning, 0 unknown, 1 critical",
     1},
    {{"-d", "1", "-w", "abc", "-c", "x"},
     "Service cluster problem: 0 ok, 1 warning, 0 unknown, 0 critical",
     2},
    {{"-d", "1", "-w", " +2", "-c", "3z"},
     "Service cluster ok: 0 ok, 1 warning, 0 unknown, 0 critical",
     0},
    // Out-of-range numbers saturate instead of wrapping.
    {{"-d", "4294967297,4294967296,-4294967297,2147483648"},
     "Service cluster ok: 0 ok, 0 warning, 0 unknown, 0 critical",
     0},
    {{"-h", "-d", "99999999999999999999999,1"},
     "Host cluster problem: 0 up, 1 down, 0 unreachable",
     2},
    {{"-d", "1", "-w", "4294967297", "-c", "4294967298"},
     "Service cluster ok: 0 ok, 1 warning, 0 unknown, 0 critical",
     0},
    {{"-d", "1", "-c", "-4294967295"},
     "Service cluster problem: 0 ok, 1 warning, 0 unknown, 0 critical",
     2},
    {{"-d", "0,-4294967295,-4294967294", "-c", "-4294967295"},
     "Service cluster problem: 1 ok, 0 warning, 0 unknown, 0 critical",
     2},
    {{"-d", "0", "-w", "-4294967295", "-c", "5"},
     "Service cluster problem: 1 ok, 0 warning, 0 unknown, 0 critical",
     1},
    {{"-d", "1", "-w", "2147483647", "-c", "2147483647"},
     "Service cluster ok: 0 ok, 1 warning, 0 unknown, 0 critical",
     0},
    // The scan: last one wins, stray words, prefixes, attached arguments, the end marker.
    {{"-h", "-s", "-d", "1"}, "Service cluster problem: 0 ok, 1 warning, 0 unknown, 0 critical", 2},
    {{"-s", "-h", "-d", "1"}, "Host cluster problem: 0 up, 1 down, 0 unreachable", 2},
    {{"-d", "1", "-d", "0"}, "Service cluster ok: 1 ok, 0 warning, 0 unknown, 0 critical", 0},
    {{"-l", "A", "-l", "B", "-d", "0"}, "B ok: 1 ok, 0 warning, 0 unknown, 0 critical", 0},
    {{"word", "-d", "0", "more", "words"},
     "Service cluster ok: 1 ok, 0 warning, 0 unknown, 0 critical",
     0},
    {{"", "-", "-d", "0"}, "Service cluster ok: 1 ok, 0 warning, 0 unknown, 0 critical", 0},
    {{"--crit=2", "--data=0"}, "Service cluster ok: 1 ok, 0 warning, 0 unknown, 0 critical", 0},
    {{"--c", "2", "--d", "1"},
     "Service cluster problem: 0 ok, 1 warning, 0 unknown, 0 critical",
     1},
    {{"--ho", "--lab=Farm", "--war", "0", "--data", "0"},
     "Farm problem: 1 up, 0 down, 0 unreachable",
     1},
    {{"-hd1,2", "-w2", "-c3", "-lX"}, "X problem: 0 up, 1 down, 1 unreachable", 1},
    {{"--service", "--label", "X", "--warning", "0", "--critical", "2", "--data", "0,1"},
     "X problem: 1 ok, 1 warning, 0 unknown, 0 critical",
     1},
    {{"--host", "--label=Y", "--warning=2", "--critical=3", "--data=1,2"},
     "Y problem: 0 up, 1 down, 1 unreachable",
     1},
    {{"--host", "--service", "-d", "2"},
     "Service cluster problem: 0 ok, 0 warning, 0 unknown, 1 critical",
     2},
    {{"-w", "-d", "-d", "1"}, "Service cluster problem: 0 ok, 1 warning, 0 unknown, 0 critical", 2},
    {{"-d", "0", "--", "-x", "-d", "1"},
     "Service cluster ok: 1 ok, 0 warning, 0 unknown, 0 critical",
     0},
    // Labels are printed as they stand.
    {{"-l", "", "-d", "0"}, " ok: 1 ok, 0 warning, 0 unknown, 0 critical", 0},
    {{"-l", "%s%d%n%%", "-h", "-d", "0"}, "%s%d%n%% ok: 1 up, 0 down, 0 unreachable", 0},
};

TEST(ClusterCheck, PrintsOneStatusLineAndExitsWithTheVerdict) {
    for (const check_case &c : checks) {
        SCOPED_TRACE(describe_arguments(c.args));
        process_result result = run_process(program, with_name(c.args));
        expect_exit(result, c.exit_code);
        EXPECT_EQ(result.out, c.line + "\n");
        EXPECT_EQ(result.err, "");
    }
}

struct usage_case {
    std::vector<std::string> args;
    std::string diagnostic; // the scanner's line on standard error, if any
};

const usage_case fixed_usages[] = {
    {{}, ""},
    {{"-s"}, ""},
    {{"-s", "-h", "-w", "1", "-c", "2", "-l", "x", "word"}, ""},
    {{"--", "-d", "0"}, ""},
    {{"-x", "-d", "0"}, "invalid option -- 'x'"},
    {{"-d", "0", "-x"}, "invalid option -- 'x'"},
    {{"-d"}, "option requires an argument -- 'd'"},
    {{"-d", "0", "--data"}, "option '--data' requires an argument"},
    {{"--host=1", "-d", "0"}, "option '--host' doesn't allow an argument"},
    {{"-d", "0", "--service=yes"}, "option '--service' doesn't allow an argument"},
    {{"--verbose", "-d", "0"}, "unrecognized option '--verbose'"},
    {{"-d", "0", "--datum=1"}, "unrecognized option '--datum=1'"},
    // No long name is longer than it should be.
    {{"-d", "0", "--datas"}, "unrecognized option '--datas'"},
    {{"-d", "0", "--warnings=1"}, "unrecognized option '--warnings=1'"},
    {{"-d", "0", "--criticals=1"}, "unrecognized option '--criticals=1'"},
    {{"-d", "0", "--labels=x"}, "unrecognized option '--labels=x'"},
    {{"-d", "0", "--hosts"}, "unrecognized option '--hosts'"},
    {{"-d", "0", "--services"}, "unrecognized option '--services'"},
};

// The fixed cases, and every other printable character as an option letter.
std::vector<usage_case> usage_cases() {
    std::vector<usage_case> cases(std::begin(fixed_usages), std::end(fixed_usages));
    for (char letter = ' '; letter <= '~'; ++letter)
        if (std::string("-hswcdl").find(letter) == std::string::npos)
            cases.push_back({{"-d", "0", std::string("-") + letter},
                             std::string("invalid option -- '") + letter + "'"});
    return cases;
}

TEST(ClusterCheck, UnusableArgumentsGiveTheUsageBlock) {
    for (const usage_case &c : usage_cases()) {
        SCOPED_TRACE(describe_arguments(c.args));
        process_result result = run_process(program, with_name(c.args));
        expect_exit(result, 3);
        EXPECT_EQ(result.out, usage_block(name));
        EXPECT_EQ(result.err, c.diagnostic.empty() ? "" : name + ": " + c.diagnostic + "\n");
    }
}

TEST(ClusterCheck, UsageShowsTheProgramNameAsInvoked) {
    for (std::string invoked : {"/usr/libexec/halvex/plugins/cluster_plugin", "./c p"}) {
        process_result result = run_process(program, {invoked, "-s"});
        expect_exit(result, 3);
        EXPECT_EQ(result.out, usage_block(invoked));
    }
}

TEST(ClusterCheck, EmptyArgumentVectorGivesTheUsageBlock) {
    // Linux supplies an empty program name for an empty vector; older kernels pass none.
    process_result result = run_process(program, {});
    expect_exit(result, 3);
    EXPECT_TRUE(result.out == usage_block("") || result.out == usage_block(name)) << result.out;
    EXPECT_EQ(result.err, "");
}

TEST(ClusterCheck, ScanIgnoresPosixlyCorrect) {
    spawn_options options;
    options.extra_environment = {"POSIXLY_CORRECT=1"};
    process_result result = run_process(program, {name, "word", "-h", "-d", "1"}, 5000, options);
    expect_exit(result, 2);
    EXPECT_EQ(result.out, "Host cluster problem: 0 up, 1 down, 0 unreachable\n");
}

TEST(ClusterCheck, VerdictSurvivesUnwritableOutput) {
    for (output_sink sink : {output_sink::closed, output_sink::full_device}) {
        spawn_options options;
        options.stdout_sink = sink;
        expect_exit(run_process(program, {name, "-d", "0,1", "-c", "3"}, 5000, options), 1);
        expect_exit(run_process(program, {name, "-s"}, 5000, options), 3);
    }
}

TEST(ClusterCheck, LargeInputsStayFast) {
    std::string members = "0";
    for (int i = 1; i < 65536; ++i)
        members += i % 4 == 0 ? ",1" : ",0";
    ASSERT_EQ(members.size() + 1, 128u * 1024u);
    process_result result = run_process(program, {name, "-d", members, "-c", "100000"});
    expect_exit(result, 1);
    EXPECT_EQ(result.out,
              "Service cluster problem: 49153 ok, 16383 warning, 0 unknown, 0 critical\n");

    // Ten times the arguments must cost about ten times as much, whatever the machine's speed:
    // a scan that grew with the square would cost a hundred times as much. The fastest of three
    // runs of each size keeps a busy machine out of the comparison.
    const auto fastest_scan = [](int pairs) {
        std::vector<std::string> words = {name, "-d", "1"};
        for (int i = 0; i < pairs; ++i) {
            words.push_back("word");
            words.push_back("-s");
        }
        auto fastest = std::chrono::steady_clock::duration::max();
        for (int run = 0; run < 3; ++run) {
            const auto started = std::chrono::steady_clock::now();
            process_result scanned = run_process(program, words, 60000);
            fastest = std::min(fastest, std::chrono::steady_clock::now() - started);
            expect_exit(scanned, 2);
            EXPECT_EQ(scanned.out,
                      "Service cluster problem: 0 ok, 1 warning, 0 unknown, 0 critical\n");
        }
        return fastest;
    };
    const auto small = fastest_scan(5000);  // 10,003 arguments
    const auto large = fastest_scan(50000); // 100,003 arguments
    EXPECT_LT(large, 40 * small) << "the scan no longer grows linearly";
}

} // namespace
