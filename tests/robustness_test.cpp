// SPDX-License-Identifier: GPL-2.0-or-later
// Random argument vectors for cluster_plugin, each checked against an independent model of
// the scan, the tally and the verdict.
#include "spawn_process.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>

namespace {

const std::string program = CLUSTER_PLUGIN_PATH;

struct model {
    int warning = 1, critical = 1;
    bool hosts = false;
    bool has_data = false, has_label = false;
    std::string data, label;
    bool rejected = false; // the scanner complained
};

int model_decimal(const std::string &text) {
    size_t i = 0;
    while (i < text.size() && std::string(" \t\n\v\f\r").find(text[i]) != std::string::npos)
        ++i;
    bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        ++i;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min(value * 10 + (text[i] - '0'), 10000000000LL);
    value = negative ? -value : value;
    return static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, value)));
}

struct tally {
    int counts[4] = {0, 0, 0, 0}; // by code: ok/up, warning/down, critical/unreachable, unknown
    int verdict = 3;
};

tally count_members(const model &m) {
    tally t;
    for (size_t start = 0; start <= m.data.size();) {
        size_t comma = std::min(m.data.find(',', start), m.data.size());
        std::string member = m.data.substr(start, comma - start);
        int code = model_decimal(member);
        if (!member.empty() && code >= 0 && code <= (m.hosts ? 2 : 3))
            ++t.counts[code];
        start = comma + 1;
    }
    int problems = t.counts[1] + t.counts[2] + t.counts[3];
    t.verdict = problems >= m.critical ? 2 : problems >= m.warning ? 1 : 0;
    return t;
}

std::string status_line(const model &m, const tally &t) {
    std::string line = m.has_label ? m.label : m.hosts ? "Host cluster" : "Service cluster";
    line += t.verdict == 0 ? " ok: " : " problem: ";
    const auto n = [&t](int code) { return std::to_string(t.counts[code]); };
    if (m.hosts)
        return line + n(0) + " up, " + n(1) + " down, " + n(2) + " unreachable\n";
    return line + n(0) + " ok, " + n(1) + " warning, " + n(3) + " unknown, " + n(2) + " critical\n";
}

struct generator {
    std::mt19937 random;
    explicit generator(unsigned seed) : random(seed) {}

    size_t below(size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(random);
    }
    template <typename T, size_t N> const T &pick(const T (&items)[N]) {
        return items[below(N)];
    }

    std::string number() {
        static const char *const pool[] = {"0",
                                           "1",
                                           "2",
                                           "3",
                                           "-1",
                                           "+2",
                                           " 3",
                                           "\t1",
                                           "\n2",
                                           "\v3",
                                           "\f1",
                                           "\r2",
                                           " \t\n\v\f\r1",
                                           "-0",
                                           "4",
                                           "99",
                                           "abc",
                                           "2x",
                                           "1.5",
                                           "",
                                           " ",
                                           "-",
                                           "2147483647",
                                           "2147483648",
                                           "-2147483649",
                                           "4294967297",
                                           "99999999999999999999",
                                           "-4294967295"};
        return pick(pool);
    }
    std::string member_list() {
        std::string list;
        for (size_t n = below(6); n > 0; --n)
            list += std::string(below(3), ',') + number();
        return list + std::string(below(2), ',');
    }
    std::string text() {
        static const char alphabet[] = "ab Z%s,-=:1";
        std::string word;
        for (size_t n = below(6); n > 0; --n)
            word += alphabet[below(sizeof alphabet - 1)];
        return word;
    }
    std::string prefix(const std::string &long_name) {
        return long_name.substr(0, 1 + below(long_name.size()));
    }

    // Appends one option or word to argv and applies it to m.
    void add_item(std::vector<std::string> &argv, model &m, bool &ended) {
        static const char *const long_names[] = {"data", "warning", "critical", "label"};
        switch (below(9)) {
        case 0:
        case 1:
        case 2:
        case 3: { // an option with an argument
            const std::string long_name = pick(long_names);
            const char letter = long_name[0];
            std::string value = letter == 'd' ? member_list() : letter == 'l' ? text() : number();
            switch (below(4)) {
            case 0:
                argv.push_back(std::string("-") + letter);
                argv.push_back(value);
                break;
            case 1:
                if (value.empty())
                    value = "0";
                argv.push_back(std::string("-") + letter + value);
                break;
            case 2: argv.push_back("--" + prefix(long_name) + "=" + value); break;
            default:
                argv.push_back("--" + prefix(long_name));
                argv.push_back(value);
                break;
            }
            if (letter == 'd') {
                m.data = value;
                m.has_data = true;
            }
            if (letter == 'l') {
                m.label = value;
                m.has_label = true;
            }
            if (letter == 'w')
                m.warning = model_decimal(value);
            if (letter == 'c')
                m.critical = model_decimal(value);
            return;
        }
        case 4: { // kind of cluster
            static const char *const forms[] = {"-h",  "-s",     "-hs", "-sh",
                                                "--h", "--host", "--s", "--serv"};
            std::string form = pick(forms);
            argv.push_back(form);
            m.hosts = form == "-h" || form == "-sh" || form.rfind("--h", 0) == 0;
            return;
        }
        case 5:
        case 6: { // a stray word
            static const char *const words[] = {"", "-", "x", "0,1", "word", "d", "=2", " -d"};
            argv.push_back(pick(words));
            return;
        }
        case 7: // the end of the options
            argv.push_back("--");
            ended = true;
            return;
        default: { // something the scanner rejects
            static const char *const bad[] = {"-x",       "-?",   "-sq",   "--bogus",
                                              "--host=1", "--s=", "--dd=1"};
            argv.push_back(pick(bad));
            m.rejected = true;
            return;
        }
        }
    }

    std::vector<std::string> argument_vector(model &m) {
        std::vector<std::string> argv = {"cluster_plugin"};
        bool ended = false;
        for (size_t n = below(8); n > 0 && !ended && !m.rejected; --n)
            add_item(argv, m, ended);
        if (!ended && !m.rejected && below(10) == 0) { // an argument missing at the very end
            static const char *const last[] = {"-d", "-w", "--crit", "--label"};
            argv.push_back(pick(last));
            m.rejected = true;
        }
        static const char *const after_end[] = {"-d", "0", "-x", "--host=1"};
        if (ended) // whatever follows the end marker is not an option
            for (size_t n = below(3); n > 0; --n)
                argv.push_back(pick(after_end));
        return argv;
    }
};

constexpr int vector_count = ROBUSTNESS_VECTORS;

const std::string usage_prefix = "Invalid arguments supplied\n\nHost/Service Cluster Plugin";

TEST(Robustness, RandomArgumentVectorsMatchTheModel) {
    const char *seed_text = getenv("HALVEX_ROBUSTNESS_SEED");
    const unsigned seed = seed_text != nullptr
                              ? static_cast<unsigned>(strtoul(seed_text, nullptr, 10))
                              : std::random_device{}();
    std::printf("robustness seed %u, %d vectors (set HALVEX_ROBUSTNESS_SEED to repeat)\n", seed,
                vector_count);
    generator gen(seed);

    std::string usage = run_process(program, {"cluster_plugin"}).out;
    ASSERT_EQ(usage.rfind(usage_prefix, 0), 0u);

    for (int run = 0; run < vector_count; ++run) {
        model m;
        std::vector<std::string> argv = gen.argument_vector(m);
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + describe_arguments(argv));

        const bool usable = !m.rejected && m.has_data;
        const tally t = usable ? count_members(m) : tally{};
        process_result result = run_process(program, argv);
        ASSERT_FALSE(result.timed_out);
        ASSERT_EQ(describe_status(result.status), "exit " + std::to_string(t.verdict));
        ASSERT_EQ(result.out, usable ? status_line(m, t) : usage);
        ASSERT_EQ(result.err.empty(), !m.rejected) << result.err;
    }
}

} // namespace
