#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A release, and a refresh, stopped by TERM or KILL at several moments, the swap among them,
# leave REPODIR as it was or complete, file for file; and the next run passes.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup
repo=$work/repo
# What the stopped runs leave in their work folders goes with this one.
export TMPDIR=$work/tmp
mkdir "$TMPDIR"

# COMMAND, started in a process group of its own and sent SIGNAL once its output shows a line
# that matches MOMENT; REPODIR is then as it was, or complete with RECORDS releases.
interrupted() { # SIGNAL MOMENT RECORDS COMMAND...
    local before log=$work/interrupted.log
    before=$(repository_contents "$repo")
    : >"$log"
    spawn "${@:4}" >"$log" 2>&1
    await_line "$log" "$2"
    kill "-$1" -- "-${spawned[-1]}" 2>/dev/null || true
    wait "${spawned[-1]}" || true
    spawned=()
    [ "$(repository_contents "$repo")" = "$before" ] || complete_repository "$repo" "$3" ||
        fail "$* stopped by $1 at '$2' left $repo incomplete"
}
records() { find "$repo/state/releases" -type f | wc -l; }

step "releases and refreshes stopped by TERM and KILL, at several moments"
run "$releaser" --key "$A" --url "$url/interrupted" "$builddir" "$repo"
count=0
for signal in TERM KILL; do
    for moment in 'the packages' 'the keyring packages' 'the indices' ': served ('; do
        # Every other release changes the keys, so that the keyring packages are built anew.
        count=$((count + 1)) arguments=(--key "$A")
        [ $((count % 2)) = 0 ] || arguments+=(--next-key "$B")
        interrupted "$signal" "$moment" $(($(records) + 1)) "$releaser" "${arguments[@]}" \
            --url "$url/interrupted" "$builddir" "$repo"
        run "$releaser" --key "$A" --url "$url/interrupted" "$builddir" "$repo"
        complete_repository "$repo" "$(records)" || fail "the release after $signal at $moment"
    done
    for moment in 'signed again' ': served ('; do
        interrupted "$signal" "$moment" "$(records)" "$releaser" --refresh --key "$A" "$repo"
        run "$releaser" --refresh --key "$A" "$repo"
        complete_repository "$repo" "$(records)" || fail "the refresh after $signal at $moment"
    done
done
echo "passed"
