// SPDX-License-Identifier: GPL-2.0-or-later
#include "check_result.h"

#include <cstdio>
#include <unistd.h>

static const char usage_format[] =
    "Incorrect arguments supplied\n"
    "\n"
    "Plugin timeout tester for Halvex\n"
    "Copyright (c) the Halvex plugin authors\n"
    "Last Modified: 01-10-2000\n"
    "License: GPL\n"
    "\n"
    "Usage: %s <something>\n"
    "\n"
    "Options:\n"
    " <something> = Anything at all...\n"
    "\n"
    "Notes:\n"
    "This 'plugin' doesn't do anything.  It is designed to never exit and therefore\n"
    "provides an easy way of testing service and host check timeouts in Halvex.\n"
    "\n";

int main(int argc, char **argv) {
    if (argc == 1) {
        printf(usage_format, argv[0]);
        return RESULT_OK;
    }
    // Signals keep their default actions: only a terminating signal ends the wait.
    for (;;)
        sleep(1);
}
