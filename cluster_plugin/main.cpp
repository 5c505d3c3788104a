// SPDX-License-Identifier: GPL-2.0-or-later
#include "check_result.h"
#include "cluster_settings.h"
#include "decimal_value.h"

#include <cstdio>
#include <cstring>

int total_services_ok = 0;
int total_services_warning = 0;
int total_services_unknown = 0;
int total_services_critical = 0;
int total_hosts_up = 0;
int total_hosts_down = 0;
int total_hosts_unreachable = 0;

static const char usage_format[] =
    "Invalid arguments supplied\n"
    "\n"
    "Host/Service Cluster Plugin for Halvex 2\n"
    "Copyright (c) the Halvex plugin authors\n"
    "Last Modified: 03-11-2004\n"
    "License: GPL\n"
    "\n"
    "Usage: %s (-s | -h) [-l label] [-w threshold] [-c threshold] [-d val1,val2,...,valn]\n"
    "\n"
    "Options:\n"
    "   -s, --service  = Check service cluster status\n"
    "   -h, --host     = Check host cluster status\n"
    "   -l, --label    = Optional prepended text output (i.e. \"Host cluster\")\n"
    "   -w, --warning  = Specifies the number of hosts or services in cluster that must be in\n"
    "                    a non-OK state in order to return a WARNING status level\n"
    "   -c, --critical = Specifies the number of hosts or services in cluster that must be in\n"
    "                    a non-OK state in order to return a CRITICAL status level\n"
    "   -d, --data     = The status codes of the hosts or services in the cluster, separated\n"
    "                    by commas\n"
    "\n";

int main(int argc, char **argv) {
    if (process_arguments(argc, argv) != 0) {
        // An empty argument vector has no program name to show.
        printf(usage_format, argc > 0 && argv[0] != nullptr ? argv[0] : "cluster_plugin");
        return RESULT_UNKNOWN;
    }

    const bool services = check_type == CHECK_SERVICE_CLUSTER;
    for (char *member = strtok(data_vals, ","); member != nullptr; member = strtok(nullptr, ",")) {
        const int code = decimal_value(member);
        if (services) {
            switch (code) {
            case 0: ++total_services_ok; break;
            case 1: ++total_services_warning; break;
            case 2: ++total_services_critical; break;
            case 3: ++total_services_unknown; break;
            default: break;
            }
        } else {
            switch (code) {
            case 0: ++total_hosts_up; break;
            case 1: ++total_hosts_down; break;
            case 2: ++total_hosts_unreachable; break;
            default: break;
            }
        }
    }

    const int problems =
        services ? total_services_warning + total_services_unknown + total_services_critical
                 : total_hosts_down + total_hosts_unreachable;
    int verdict = RESULT_OK;
    if (problems >= critical_threshold)
        verdict = RESULT_CRITICAL;
    else if (problems >= warning_threshold)
        verdict = RESULT_WARNING;
    const char *state = verdict == RESULT_OK ? "ok" : "problem";

    if (services)
        printf("%s %s: %d ok, %d warning, %d unknown, %d critical\n",
               label != nullptr ? label : "Service cluster", state, total_services_ok,
               total_services_warning, total_services_unknown, total_services_critical);
    else
        printf("%s %s: %d up, %d down, %d unreachable\n", label != nullptr ? label : "Host cluster",
               state, total_hosts_up, total_hosts_down, total_hosts_unreachable);
    return verdict;
}
