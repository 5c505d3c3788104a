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
sed -i 's/^Origin: Halvex$/Origin: Halveks/' "$served/tampered-inrelease/debian/dists/$newest/InRelease"
cp -r "$served/release" "$served/missing-suite"
rm -r "$served/missing-suite/debian/dists/${releases[0]}-debug"
checker=$source_dir/packaging/check-repository
days=$((valid_days - 1))
# STATUS | LINE, a pattern | COMMAND
while IFS='|' read -r status line command; do
    shown=0
    # shellcheck disable=SC2086 # the row's words
    output=$(eval "$command") || shown=$?
    if [ "$shown" != "$status" ] || [[ ! $output =~ ^$line$ ]]; then
        fail "$command: exit status $shown, '$output', not $status and '$line'"
    fi
done <<ROWS
0|Halvex repository OK: [a-z-]+ has $days days left before its Valid-Until|"$checker" --keyring "$out/$keyring.gpg" "$url/release"
1|Halvex repository WARNING: [a-z-]+ has $((days - 9)) days left before its Valid-Until|faketime -f +9d "$checker" --keyring "$out/$keyring.gpg" "$url/release"
1|Halvex repository WARNING: [a-z-]+ has $((days - 3)) days left before its Valid-Until|faketime -f +3d "$checker" --keyring "$out/$keyring.gpg" -w 12 -c 1 "$url/release"
2|Halvex repository CRITICAL: [a-z-]+ has 0 days left before its Valid-Until|faketime -f +14d "$checker" --keyring "$out/$keyring.gpg" "$url/release"
2|Halvex repository CRITICAL: [a-z-]+ is 2 days past its Valid-Until|faketime -f +17d "$checker" --keyring "$out/$keyring.gpg" "$url/release"
3|Halvex repository UNKNOWN: $newest: InRelease is not signed by a key of .*|"$checker" --keyring "$out/$keyring.gpg" "$url/tampered-inrelease"
3|Halvex repository UNKNOWN: debian/dists/${releases[0]}-debug/InRelease cannot be fetched: .*|"$checker" --keyring "$out/$keyring.gpg" "$url/missing-suite"
3|Halvex repository UNKNOWN: debian/dists/${releases[0]}/InRelease cannot be fetched: .*|"$checker" --keyring "$out/$keyring.gpg" http://127.0.0.1:9/repository
3|Halvex repository UNKNOWN: [a-z-]+: InRelease is not signed by a key of .*|"$checker" --keyring "$served/other-key/$keyring.gpg" "$url/other-key"
3|Usage: check-repository --keyring FILE \[-w DAYS\] \[-c DAYS\] URL|"$checker" "$url/release"
3|Usage: check-repository --keyring FILE \[-w DAYS\] \[-c DAYS\] URL|"$checker" --keyring "$out/$keyring.gpg" -w 1 -c 2 "$url/release"
ROWS
echo "passed"
