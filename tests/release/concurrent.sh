#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Two releases started together, and a refresh started during a release, into one REPODIR:
# each waits for the other, and the end is complete, with every release recorded; a host
# updates from it.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup
repo=$work/repo

step "two releases at once, and a refresh during a release"
run "$releaser" --key "$A" --url "$url/concurrent" "$builddir" "$repo"
spawn "$releaser" --key "$A" --url "$url/concurrent" "$builddir" "$repo" >"$work/first.log" 2>&1
spawn "$releaser" --key "$A" --next-key "$B" --url "$url/concurrent" "$builddir" "$repo" \
    >"$work/second.log" 2>&1
wait_jobs
complete_repository "$repo" 3 || fail "two releases at once left $repo incomplete"
spawn "$releaser" --key "$A" --url "$url/concurrent" "$builddir" "$repo" >"$work/release.log" 2>&1
await_line "$work/release.log" 'the packages'
"$releaser" --refresh --key "$A" "$repo" >"$work/refresh.log" 2>&1 ||
    fail "the refresh during a release: $(cat "$work/refresh.log")"
wait_jobs
grep -q 'waiting for the lock on' "$work/refresh.log" ||
    fail "the refresh did not wait for the release"
complete_repository "$repo" 4 || fail "a refresh during a release left $repo incomplete"
publish "$repo" "$served/concurrent"
root=$work/root log=$work/host.log
new_host "$newest" "$root" "$url/concurrent"
apt_update || fail "a host refused the repository: $(cat "$log")"
echo "passed"
