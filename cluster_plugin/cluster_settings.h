// SPDX-License-Identifier: GPL-2.0-or-later
#ifndef HALVEX_CLUSTER_SETTINGS_H
#define HALVEX_CLUSTER_SETTINGS_H

#include <getopt.h>

constexpr int CHECK_SERVICE_CLUSTER = 1;
constexpr int CHECK_HOST_CLUSTER = 2;

extern int warning_threshold;
extern int critical_threshold;
extern int check_type;
extern char *data_vals;
extern char *label;

extern const struct option longopts[];

int process_arguments(int argc, char **argv);

#endif
