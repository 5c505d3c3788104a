#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck disable=SC2034 # the stages read the facts
# What the stages of a release share (packaging/build, tests/check_build.sh, packaging/release,
# tests/check_release.sh, packaging/publish, packaging/verify and the repository's tools): the
# facts they read and the shell helpers. It only defines: each stage calls stage_setup itself.
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The Debian releases, oldest first: the newest builds the version, the others backports of it.
package=halvex-plugins releases=(bookworm trixie)
newest=${releases[-1]}
declare -A architectures=([bookworm]="amd64 arm64 armel armhf i386 mips64el mipsel ppc64el s390x"
    [trixie]="amd64 arm64 armel armhf i386 ppc64el riscv64 s390x")
# The package of the keys that sign the repository, which packaging/release makes.
keyring=halvex-archive-keyring
tarball_name() { echo "$package-$1.tar.gz"; } # VERSION
# Where the packages install the plugins.
plugins=/usr/libexec/halvex/plugins
# The RPM is built and rebuilt in one folder, as in a build root: its debug information names it.
rpm_topdir=/var/tmp/$package-rpmbuild
rpm_build() {
    rpmbuild --define "_topdir $rpm_topdir" --nodeps \
        --load "$source_dir/packaging/rpm_build_root.macros" "$@"
}
# The repository is refreshed every refresh_days, and each refresh is valid for valid_days: one
# missed refresh is survived with a day to spare. A key that signs must outlive the validity and
# one more refresh; from warn_days before its expiry, every run says so; a next key must be valid
# for next_key_days.
refresh_days=7
valid_days=$((2 * refresh_days + 1))
signing_margin_days=$((valid_days + refresh_days))
warn_days=90
next_key_days=365

fail() { echo "FAIL: $*" >&2; exit 1; }
# The fingerprints of the keys in a key file, sorted; what signing leaves of RPMs unchanged.
fingerprints() { # KEYFILE
    gpg --batch --with-colons --show-keys "$1" | awk -F: '$1 == "pub" { getline; print $10 }' | sort
}
rpm_digests() { # RPM...
    rpm -qp --nosignature --qf '%{NVRA} %{SHA256HEADER} %{PAYLOADDIGEST}\n' "$@" | sort
}
step() { echo "== $* ($SECONDS s)"; }
logged() { "${@:3}" >"$1" 2>&1 || fail "$2: $(tail -n 30 "$1")"; } # LOG WHAT COMMAND...
# Debian's mirror: HALVEX_MIRROR, or else the one this machine's apt takes Debian from.
mirror() {
    local uri=${HALVEX_MIRROR-}
    # shellcheck disable=SC2016 # apt's own format
    [ -n "$uri" ] || uri=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' \
        'Label: Debian' | head -n 1)
    [ -n "$uri" ] || fail "apt takes no package from a Debian mirror here: set HALVEX_MIRROR"
    echo "${uri%/}"
}
# The packages that STAGE (or every stage: all) needs and this machine lacks.
missing_packages() { # STAGE
    local stage packages entry probe
    while read -r stage packages; do
        [[ $stage != \#* && ($1 == all || $stage == "$1") ]] || continue
        for entry in $packages; do
            probe=${entry#*:}
            if [[ $probe == /* ]]; then
                [ -e "$probe" ] || echo "${entry%%:*}"
            else
                type -P "$probe" >/dev/null || echo "${entry%%:*}"
            fi
        done
    done <"$source_dir/packaging/tools"
}

# Jobs run in process groups of their own, which a stage that ends stops: TERM, KILL after 5 s.
spawned=()
spawn() { set -m; "$@" </dev/null & set +m; spawned+=("$!"); }
stop_jobs() {
    local groups
    read -r -a groups <<<"$(jobs -p | sed 's/^/-/' | paste -s -d' ')"
    [ ${#groups[@]} != 0 ] || return 0
    kill -TERM -- "${groups[@]}" 2>/dev/null || return 0
    for _ in $(seq 50); do kill -0 -- "${groups[@]}" 2>/dev/null || return 0; sleep 0.1; done
    kill -KILL -- "${groups[@]}" 2>/dev/null || true
}
# Waits for the jobs spawned so far; fails once all have ended if any failed, each saying why.
wait_jobs() {
    local failed=0 pid
    for pid in "${spawned[@]}"; do wait "$pid" || failed=$((failed + 1)); done
    spawned=()
    [ "$failed" = 0 ] || fail "$failed of the jobs failed"
}

# BUILDDIR as packaging/build left it: the files its manifest lists, unchanged, and no other
# but the check's record. Sets builddir, version and tarball.
read_build() { # BUILDDIR
    [ -f "$1/SHA256SUMS" ] || fail "$1 was not made by packaging/build"
    builddir=$(cd "$1" && pwd)
    (cd "$builddir" && sha256sum --strict --quiet -c SHA256SUMS) >"$work/manifest.log" 2>&1 ||
        fail "$1 has changed since packaging/build made it: $(cat "$work/manifest.log")"
    local unlisted
    unlisted=$(comm -13 <(sed 's/^[0-9a-f]*  //' "$builddir/SHA256SUMS" | LC_ALL=C sort) \
        <(cd "$builddir" && find . ! -type d ! -path ./SHA256SUMS ! -path ./checked -printf '%P\n' |
            LC_ALL=C sort))
    [ -z "$unlisted" ] || fail "$1 has changed since packaging/build made it: added $unlisted"
    tarball=$(compgen -G "$builddir/$(tarball_name '*')") || fail "$1 holds no source tarball"
    version=${tarball#"$builddir/$package-"} && version=${version%.tar.gz}
}

# COMMAND runs in ROOT as USER, with its own /proc and terminals, and without network unless
# NETWORK is "net". --emulate runs it in a user namespace of its own, in which binfmt_misc has
# REGISTRATION, so that an emulator starts the root's foreign programs, as root there.
in_root() { # [--emulate REGISTRATION] ROOT USER NETWORK COMMAND...
    local isolate=(--mount --pid --fork --kill-child) registration=
    if [ "$1" = --emulate ]; then
        isolate+=(--user --map-root-user) registration=$2
        shift 2
    fi
    [ "$3" = net ] || isolate+=(--net)
    unshare "${isolate[@]}" sh "$source_dir/packaging/enter-root" "$1" "$2" "$registration" \
        "${@:4}"
}
# How packaging/build builds, which packaging/verify must repeat: as builder, without the suite
# (which changes no package) or cross for TARGET with what the build needs for it and MORE.
add_builder() { # ROOT
    echo 'builder:x:2000:2000::/build:/bin/sh' >>"$1/etc/passwd"
    echo 'builder:x:2000:' >>"$1/etc/group"
}
nocheck_build="DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b -v0 -Pnocheck -Jauto"
cross_build_command() { # TARGET
    echo "dpkg-buildpackage -a $1 -Pcross,nocheck -b -us -uc -v0 -Jauto"
}
# What a cross build for TARGET needs beyond the source's build dependencies, one a line.
cross_tools() { printf '%s\n' "crossbuild-essential-$1" "libc-dev:$1" "libstdc++-dev:$1"; }
cross_needs() { # TARGET TREE [MORE]
    local satisfy
    satisfy="$(cross_tools "$1" | paste -s -d,)${3:+,$3}"
    echo "apt-get build-dep -y -a $1 -Pcross,nocheck $2 && apt-get satisfy -y '$satisfy'"
}
# Whether the source package unpacked in TREE holds exactly the files in SOURCE, for RELEASE:
# a backport's changelog adds one entry of six lines.
same_source() { # SOURCE TREE RELEASE
    local first=1
    [ "$3" = "$newest" ] || first=7
    diff -r -x changelog "$1" "$2" || return
    diff <(tail -n "+$first" "$2/debian/changelog") "$1/debian/changelog"
}

refuse() { echo "$*" >&2; exit 2; }
# A stage calls this first with its name, its usage and its arguments: it checks their count
# (unless the usage repeats a word: ...), root (all but the release, the publish and the
# repository's tools need it) and the stage's tools, and makes the work folder, which goes when
# the stage ends, after the jobs it started are stopped and at_exit is run.
stage_setup() { # STAGE USAGE ARGUMENTS...
    local words missing
    read -r -a words <<<"$2"
    [[ $2 == *...* ]] || [ $(($# - 2)) = ${#words[@]} ] || refuse "usage: $0 $2"
    case $1 in
    release | publish | refresh | check-repository) ;;
    *) [ "$(id -u)" = 0 ] || refuse "$0 runs as root: build roots, namespaces, rpm --root" ;;
    esac
    missing=$(missing_packages "$1" | paste -s -d' ')
    [ -z "$missing" ] || refuse "$1 needs: apt-get install -y $missing"
    work=$(mktemp -d) at_exit=:
    trap 'stop_jobs; eval "$at_exit"; rm -rf "$work"' EXIT
    trap 'exit 1' HUP INT TERM
    unset SOURCE_DATE_EPOCH
}
