#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# packaging/publish refuses, before it copies or deletes anything, a DEST that is empty, the
# root, or a folder that holds files no publish left there; what is there survives. The empty
# and the root DEST are tried in a root of their own, a copy of a clean root with the tree and
# REPODIR, whose rsync only records its arguments. Publishing a new version, its first pass
# leaves the plain-named indices and the Release files as they were, and brings the new
# packages and the indices by their checksum.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup

# packaging/publish into DEST is refused, with MESSAGE.
refused() { # MESSAGE COMMAND...
    if "${@:2}" >"$work/refusal" 2>&1; then fail "$* was not refused"; fi
    grep -q -F "$1" "$work/refusal" || fail "$*: $(cat "$work/refusal")"
}

step "packaging/publish refuses an unmarked folder, an empty DEST and the root"
mkdir "$work/site"
echo "the site's own page" >"$work/site/index.html"
refused "holds files that no publish left there" \
    "$source_dir/packaging/publish" "$repodir" "$work/site"
[ "$(cat "$work/site/index.html")" = "the site's own page" ] || fail "the site's page changed"
[ "$(ls -A "$work/site")" = index.html ] || fail "publish wrote into an unmarked folder"

root=$work/root
clean_root "$newest" "$root"
copy_tree "$root/tree"
cp -a "$repodir" "$root/repo"
printf '%s\n' '#!/bin/sh' 'echo "$*" >>/rsync.log' >"$root/usr/bin/rsync"
chmod 755 "$root/usr/bin/rsync"
echo "precious" >"$root/precious"
for dest in "" / // /.; do
    refused "not into '$dest'" in_root "$root" 0:0 none /tree/packaging/publish /repo "$dest"
    [ ! -e "$root/rsync.log" ] || fail "publish into '$dest' ran rsync $(cat "$root/rsync.log")"
    [ "$(cat "$root/precious")" = precious ] || fail "publish into '$dest' harmed the root"
done

# An rsync first on the PATH that copies DEST after each call, as copy-N.
watched_rsync() { # FOLDER DEST
    mkdir -p "$1/bin"
    printf '%s\n' '#!/bin/sh' '/usr/bin/rsync "$@" || exit' \
        "n=\$(ls '$1' | grep -c '^copy-'); cp -a '$2' '$1/copy-'\$((n + 1))" >"$1/bin/rsync"
    chmod 755 "$1/bin/rsync"
}
# The plain-named indices and Release files of FOLDER, and their checksums.
plain_indices() { # FOLDER
    (cd "$1" && find debian/dists rpm/repodata -type f ! -path '*/by-hash/*' \
        \( -name 'Packages*' -o -name 'Sources*' -o -name '*Release*' -o -name 'repomd.xml*' \) \
        -exec sha256sum {} + | LC_ALL=C sort -k 2)
}

step "publishing a new version: the first pass keeps the plain indices, and brings the rest"
repo=$work/repo dest=$work/dest watch=$work/watch
run "$releaser" --key "$A" --url "$url/passes" "$builddir" "$repo"
publish "$repo" "$dest"
bumped "$work/next"
run "$releaser" --key "$A" --url "$url/passes" "$work/next" "$repo"
before=$(plain_indices "$dest")
watched_rsync "$watch" "$dest"
PATH=$watch/bin:$PATH publish "$repo" "$dest"
# The calls: the listing of DEST, the marker, the first pass, the second.
if [ ! -d "$watch/copy-4" ] || [ -e "$watch/copy-5" ]; then
    fail "publish made other rsync calls"
fi
[ "$(plain_indices "$watch/copy-3")" = "$before" ] ||
    fail "the first pass changed the plain-named indices or the Release files"
[ "$(plain_indices "$watch/copy-4")" != "$before" ] || fail "the second pass changed no index"
while read -r hash _ path; do
    [[ $path == */Packages ]] || continue
    [ -f "$watch/copy-3/debian/dists/$newest/${path%/Packages}/by-hash/SHA256/$hash" ] ||
        fail "the first pass did not bring $path by its checksum"
done < <(listed_indices "$repo/public/debian/dists/$newest/InRelease")
[ -n "$(find "$watch/copy-3/debian/pool" -name "*_$version.1_*.deb" -print -quit)" ] ||
    fail "the first pass did not bring the new packages"
echo "passed"
