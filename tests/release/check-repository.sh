#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# packaging/check-repository's states, each with its exit status and status line: OK on the
# release; WARNING and CRITICAL as its Valid-Until nears and passes (under faketime); UNKNOWN
# for a tampered InRelease, a missing suite, an unreachable address; and its usage.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup

step "packaging/check-repository: OK, WARNING, CRITICAL, UNKNOWN, usage"
cp -r "$served/release" "$served/tampered-inrelease"
sed -i 's/^Origin: Halvex$/Origin: Halveks/' \
    "$served/tampered-inrelease/debian/dists/$newest/InRelease"
cp -r "$served/release" "$served/missing-suite"
rm -r "$served/missing-suite/debian/dists/${releases[0]}-debug"
days=$((valid_days - 1)) suite='[a-z-]+' left='days left before its Valid-Until'
keys=$out/$keyring.gpg unsigned='InRelease is not signed by a key of .*'
missing="debian/dists/${releases[0]}" fetched='InRelease cannot be fetched: .*'
usage='Usage: check-repository --keyring FILE \[-w DAYS\] \[-c DAYS\] URL'
# STATUS | LINE, a pattern, after "Halvex repository " | TIME, as faketime takes it | ARGUMENTS
while IFS='|' read -r status line time arguments; do
    shown=0
    # shellcheck disable=SC2086 # the row's words
    output=$(faketime -f "$time" "$source_dir/packaging/check-repository" $arguments) || shown=$?
    [[ $line == Usage:* ]] || line="Halvex repository $line"
    if [ "$shown" != "$status" ] || [[ ! $output =~ ^$line$ ]]; then
        fail "check-repository $arguments at $time: $shown, '$output', not $status and '$line'"
    fi
done <<ROWS
0|OK: $suite has $days $left|+0d|--keyring $keys $url/release
1|WARNING: $suite has $((days - 9)) $left|+9d|--keyring $keys $url/release
1|WARNING: $suite has $((days - 3)) $left|+3d|--keyring $keys -w 12 -c 1 $url/release
2|CRITICAL: $suite has 0 $left|+14d|--keyring $keys $url/release
2|CRITICAL: $suite is 2 days past its Valid-Until|+17d|--keyring $keys $url/release
3|UNKNOWN: $newest: $unsigned|+0d|--keyring $keys $url/tampered-inrelease
3|UNKNOWN: $suite: $unsigned|+0d|--keyring $keys $url/other-key
3|UNKNOWN: $missing-debug/$fetched|+0d|--keyring $keys $url/missing-suite
3|UNKNOWN: $missing/$fetched|+0d|--keyring $keys http://127.0.0.1:9/x
3|$usage|+0d|$url/release
3|$usage|+0d|--keyring $keys -w 1 -c 2 $url/release
ROWS
echo "passed"
