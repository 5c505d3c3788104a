#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# What the scenarios of tests/check_release.sh share. A scenario is a script of its own in this
# folder, which tests/check_release.sh runs with the variables it exports (see there); it
# sources this file first, and it only defines.
# shellcheck disable=SC2034 # the scenarios read these
# shellcheck source=../../packaging/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../packaging/common.sh"
releaser=$source_dir/packaging/release
# What tests/check_release.sh exports: a scenario runs from there alone.
from_check="is set by tests/check_release.sh, which runs the scenarios"
builddir=${builddir:?$from_check} version=${version:?$from_check} tarball=${tarball:?$from_check}
out=${out:?$from_check} repodir=${repodir:?$from_check} given=${given:?$from_check}
url=${url:?$from_check} served=${served:?$from_check} checks=${checks:?$from_check}
check_gnupg=${check_gnupg:?$from_check} A=${A:?$from_check} B=${B:?$from_check}
mirror=${mirror:?$from_check} arch=${arch:?$from_check}

# The scenario's own folder and GnuPG home, a copy of the check's, which go when it ends.
scenario_setup() {
    work=$(mktemp -d -p "$checks")
    at_exit=:
    cp -a "$check_gnupg" "$work/gnupg"
    export GNUPGHOME=$work/gnupg
    trap 'stop_jobs; eval "$at_exit"; gpgconf --kill all; rm -rf "$work"' EXIT
    trap 'exit 1' HUP INT TERM
}

fingerprint() { # GPG ARGUMENT...
    gpg --batch --with-colons "$@" 2>/dev/null | awk -F: '/^fpr:/ { print $10; exit }'
}
make_key() { # NAME TYPE EXPIRY [GPG OPTION...]
    gpg --batch --passphrase '' "${@:4}" --quick-gen-key "Halvex $1 check <$1@example.org>" \
        "$2" sign "$3" 2>/dev/null
    fingerprint --list-keys "<$1@example.org>"
}
# Verifies a signature with the release's keyring.
verify() { # GPGV ARGUMENT...
    gpgv --keyring "$out/$keyring.gpg" "$@" 2>"$work/gpgv.log" ||
        fail "gpgv $*: $(cat "$work/gpgv.log")"
}
publish() { # REPODIR DEST
    "$source_dir/packaging/publish" "$@" >>"$work/publish.log" 2>&1 ||
        fail "packaging/publish $*: $(tail -n 30 "$work/publish.log")"
}
run() { "$@" >>"$work/run.log" 2>&1 || fail "$*: $(tail -n 30 "$work/run.log")"; }

# The README's Nth block of lines under "Installing from the repository", with the release at URL.
readme_lines() { # N URL
    awk -v n="$1" '/^## / { section = ($0 == "## Installing from the repository") }
        section && /^```/ { open = !open; blocks += open; next } section && open && blocks == n' \
        "$source_dir/README.md" | sed "s|^repo=.*|repo=$2|"
}
# In a copy of a clean root of a release, as root there: $root, with the output in $log.
in_clean_root() {
    in_root "$root" 0:0 net "$@" >"$log" 2>&1
}
readme() { in_clean_root bash -euc "$(readme_lines "$@")"; } # N URL
# shellcheck disable=SC2016 # dpkg-query's own format
installed() { in_root "$root" 0:0 none dpkg-query -W -f '${Version} ' "$@"; }
clean_root() { rm -rf "$2" && cp -a "$checks/clean-$1" "$2"; } # RELEASE ROOT
apt_update() { in_clean_root apt-get update --error-on=any -o Acquire::Check-Valid-Until=true; }
# A host of RELEASE in ROOT with the repository at URL added, and the keyring and the plugins
# installed, by the README's lines.
new_host() { # RELEASE ROOT URL
    local root=$2 log=$work/host.log
    clean_root "$1" "$root"
    readme 1 "$3" || fail "$root: the README's lines: $(cat "$log")"
    readme 2 "$3" || fail "$root: the README's lines: $(cat "$log")"
}
# The version of the keyring package that the newest release in REPODIR holds.
keyring_version() { # REPODIR
    local packages=$1/public/debian/dists/$newest/main/binary-$arch/Packages
    awk -v name="$keyring" '$1 == "Package:" { on = $2 == name }
        on && $1 == "Version:" { print $2 }' "$packages" 2>/dev/null | sort -V | tail -n 1 |
        grep . || fail "$1 serves no $keyring"
}

# FOLDER's files listed in its manifest, recorded as checked.
recorded() { # FOLDER
    (cd "$1" && find . -type f ! -name SHA256SUMS ! -name checked -printf '%P\0' | sort -z |
        xargs -0 sha256sum) >"$work/sums"
    mv "$work/sums" "$1/SHA256SUMS"
    (cd "$1" && sha256sum SHA256SUMS >checked)
}
# BUILDDIR as the next version of the same programs, VERSION.1, recorded as checked.
bumped() { # FOLDER
    local new=$version.1 release deb info
    cp -r "$builddir" "$1"
    mv "$1/${tarball##*/}" "$1/$(tarball_name "$new")"
    for release in "${releases[@]}"; do
        rm -rf "$work/source"
        dpkg-source -x "$1/$release"/*.dsc "$work/source" >/dev/null 2>&1
        sed -i "1s/($version/($new/" "$work/source/debian/changelog"
        rm "$1/$release"/*.{dsc,tar.xz,changes}
        (cd "$1/$release" && dpkg-source -b "$work/source" >/dev/null)
        for info in "$1/$release"/*.buildinfo; do
            sed "s/$version/$new/g" "$info" >"${info/$version/$new}"
            rm "$info"
        done
        for deb in "$1/$release"/*.deb; do
            rm -rf "$work/deb"
            dpkg-deb -R "$deb" "$work/deb"
            rm "$deb"
            sed -i -E "s/^(Version: |.*\(= )${version//./\\.}/\1$new/" "$work/deb/DEBIAN/control"
            dpkg-deb -b "$work/deb" "$1/$release" >/dev/null
        done
    done
    recorded "$1"
}

# The indices that INRELEASE lists, one a line: SHA256 SIZE PATH.
listed_indices() { # INRELEASE
    awk '/^SHA256:/ { on = 1; next } /^[^ ]/ { on = 0 } on' "$1"
}
# The host in $root takes what the repository serves now, with apt-get update and upgrade alone.
upgrade_host() {
    apt_update || fail "$root: $(cat "$log")"
    in_clean_root apt-get upgrade || fail "$root: $(cat "$log")"
}

# Every index that the InRelease files in PREVIOUS listed is still served in DEST by its hash,
# and every package that they listed.
still_served() { # PREVIOUS DEST
    local inrelease hash size path file deb
    for inrelease in "$1"/*; do
        [ -e "$inrelease" ] || continue
        while read -r hash size path; do
            file=$2/debian/dists/${inrelease##*/}/${path%/*}/by-hash/SHA256/$hash
            [ "$(sha256sum <"$file" | cut -d' ' -f1)" = "$hash" ] || fail "$file is not served"
            [[ $path == */Packages ]] || continue
            while read -r deb; do
                [ -f "$2/debian/$deb" ] || fail "$2/debian/$deb is not served"
            done < <(sed -n 's/^Filename: //p' "$file")
        done < <(listed_indices "$inrelease")
    done
}
# The checksums of the files in DEST that keep their bytes under their names: packages, source
# packages, build records, RPMs, tarballs and the indices by their checksum.
lasting_files() { # DEST
    (cd "$1" && find . -type f \( -path './debian/pool/*' ! -name '*.asc' ! -name '*.cdx.json' \
        -o -path './rpm/*.rpm' -o -path '*/by-hash/*' -o -name '*.tar.gz' \) -exec sha256sum {} + |
        LC_ALL=C sort -k 2)
}
# No file of LASTING, an earlier lasting_files of DEST, is served now with other bytes.
kept_bytes() { # LASTING DEST
    local changed
    changed=$(join -1 2 -2 2 <(sort -k 2 "$1") <(lasting_files "$2" | sort -k 2) |
        awk '$2 != $3 { print $1 }')
    [ -z "$changed" ] || fail "published files changed their bytes: $changed"
}
# A release into REPODIR, published to DEST, and checked against what DEST served before:
# every index and package still served, and no file with other bytes.
release_published() { # REPODIR DEST COMMAND...
    local dir
    rm -rf "$work/previous"
    mkdir "$work/previous"
    for dir in "$2"/debian/dists/*; do
        [ ! -e "$dir" ] || cp "$dir/InRelease" "$work/previous/${dir##*/}"
    done
    lasting_files "$2" 2>/dev/null >"$work/lasting" || :
    run "${@:3}"
    publish "$1" "$2"
    still_served "$work/previous" "$2"
    kept_bytes "$work/lasting" "$2"
}

# halvex-release, the newest in REPOSITORY, installed into an empty root, names ADDRESS and holds
# the keys of the keyring and every key that signed an RPM served; rpmkeys verifies every RPM
# with the keys it holds.
rpm_check() { # REPOSITORY ADDRESS
    local root=$work/rpm-${1##*/} db=$work/rpmkeys-${1##*/} checked
    mkdir -p "$root" "$db"
    rpm --root "$root" --initdb
    run rpm --root "$root" -i "$(find "$1/rpm" -name 'halvex-release-*.noarch.rpm' | sort -V |
        tail -n 1)"
    grep -q -x "baseurl=$2/rpm" "$root/etc/yum.repos.d/halvex.repo" ||
        fail "halvex-release names another address"
    [ -z "$(comm -23 <(fingerprints "$1/$keyring.gpg") \
        <(fingerprints "$root/etc/pki/rpm-gpg/RPM-GPG-KEY-halvex"))" ] ||
        fail "halvex-release lacks keys of the keyring"
    rpmkeys --dbpath "$db" --import "$root/etc/pki/rpm-gpg/RPM-GPG-KEY-halvex"
    checked=$(rpmkeys --dbpath "$db" -K "$1"/rpm/*.rpm) || fail "rpmkeys -K: $checked"
    ! grep -v ': digests signatures OK$' <<<"$checked" || fail "rpmkeys -K: $checked"
}

# The release's tools of this tree, in FOLDER: what packaging/ runs, and debian/control.
copy_tree() { # FOLDER
    mkdir -p "$1"
    cp -r "$source_dir/packaging" "$source_dir/debian" "$1/"
}
# The paths and checksums of what REPODIR serves and records, through its links.
repository_contents() { # REPODIR
    local part
    for part in public state; do
        [ ! -e "$1/$part" ] || (cd "$1/$part/" && find . -type f -exec sha256sum {} + |
            sed "s|  \./|  $part/|")
    done | LC_ALL=C sort -k 2
}
# Whether REPODIR serves a complete repository, of RECORDS releases: every suite's InRelease
# verifies with its keyring and names indices that are there with their checksums, every
# package they list is there, and the RPM metadata verifies.
complete_repository() { # REPODIR RECORDS
    local public=$1/public inrelease hash size path deb
    [ "$(find "$1/state/releases" -type f | wc -l)" = "$2" ] || return 1
    for inrelease in "$public"/debian/dists/*/InRelease; do
        gpgv --keyring "$public/$keyring.gpg" "$inrelease" 2>/dev/null || return 1
        while read -r hash size path; do
            [ "$(sha256sum <"${inrelease%/*}/$path" | cut -d' ' -f1)" = "$hash" ] || return 1
            [[ $path == */Packages ]] || continue
            while read -r deb; do
                [ -f "$public/debian/$deb" ] || return 1
            done < <(sed -n 's/^Filename: //p' "${inrelease%/*}/$path")
        done < <(listed_indices "$inrelease")
    done
    gpgv --keyring "$public/$keyring.gpg" "$public/rpm/repodata/repomd.xml"{.asc,} 2>/dev/null
}
# Waits, at most two minutes, until FILE holds a line that matches PATTERN.
await_line() { # FILE PATTERN
    local _
    for _ in $(seq 1200); do
        ! grep -q -e "$2" "$1" 2>/dev/null || return 0
        sleep 0.1
    done
    fail "no line '$2' in $1 within two minutes: $(tail -n 20 "$1")"
}
