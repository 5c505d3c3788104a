// SPDX-License-Identifier: GPL-2.0-or-later
#ifndef HALVEX_CHECK_RESULT_H
#define HALVEX_CHECK_RESULT_H

// Exit status of a plugin run, as the monitoring host reads it.
enum check_result {
    RESULT_OK = 0,
    RESULT_WARNING = 1,
    RESULT_CRITICAL = 2,
    RESULT_UNKNOWN = 3,
};

#endif
