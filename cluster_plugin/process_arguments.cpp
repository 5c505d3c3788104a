// SPDX-License-Identifier: GPL-2.0-or-later
#include "cluster_settings.h"
#include "decimal_value.h"

#include <cstdlib>
#include <cstring>
#include <getopt.h>

int warning_threshold = 1;
int critical_threshold = 1;
int check_type = CHECK_SERVICE_CLUSTER;
char *data_vals = nullptr;
char *label = nullptr;

const struct option longopts[] = {
    {"data", required_argument, nullptr, 'd'},
    {"warning", required_argument, nullptr, 'w'},
    {"critical", required_argument, nullptr, 'c'},
    {"label", required_argument, nullptr, 'l'},
    {"host", no_argument, nullptr, 'h'},
    {"service", no_argument, nullptr, 's'},
    {nullptr, 0, nullptr, 0},
};

// The leading '-' makes the scanner hand back each non-option word in place as code 1.
// Without it, POSIXLY_CORRECT in the environment would end the scan at the first word,
// and moving words behind the options costs time quadratic in the argument count.
static const char short_options[] = "-hsw:c:d:l:";

// A later -d or -l replaces the earlier copy, which nothing can reach any more; giving it
// back keeps the last copies the only ones alive until the process ends.
static char *replace_copy(char *old_copy, const char *text) {
    free(old_copy);
    return strdup(text);
}

int process_arguments(int argc, char **argv) {
    if (argc < 2)
        return -1;

    int option_index = 0;
    for (;;) {
        switch (getopt_long(argc, argv, short_options, longopts, &option_index)) {
        case 1: break;
        case 'c': critical_threshold = decimal_value(optarg); break;
        case 'w': warning_threshold = decimal_value(optarg); break;
        case 'd': data_vals = replace_copy(data_vals, optarg); break;
        case 'l': label = replace_copy(label, optarg); break;
        case 'h': check_type = CHECK_HOST_CLUSTER; break;
        case 's': check_type = CHECK_SERVICE_CLUSTER; break;
        case -1: return data_vals != nullptr ? 0 : -1;
        default: return -1;
        }
    }
}
