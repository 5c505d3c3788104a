// SPDX-License-Identifier: GPL-2.0-or-later
/* Runs a command many times and prints the median wall time of one run in microseconds.
   Usage: spawn_timer RUNS PROGRAM [ARG...]; standard output goes to /dev/null. */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

extern char **environ;

static int compare(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s RUNS PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    int runs = atoi(argv[1]);
    if (runs < 1)
        runs = 1;
    double *samples = malloc(sizeof(double) * (size_t)runs);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    for (int i = 0; i < runs; ++i) {
        struct timespec start, end;
        pid_t pid;
        int status;
        clock_gettime(CLOCK_MONOTONIC, &start);
        if (posix_spawn(&pid, argv[2], &actions, NULL, argv + 2, environ) != 0) {
            perror(argv[2]);
            return 2;
        }
        waitpid(pid, &status, 0);
        clock_gettime(CLOCK_MONOTONIC, &end);
        samples[i] =
            (double)(end.tv_sec - start.tv_sec) * 1e6 + (double)(end.tv_nsec - start.tv_nsec) / 1e3;
    }
    qsort(samples, (size_t)runs, sizeof(double), compare);
    printf("%.0f\n", samples[runs / 2]);
    return 0;
}
