#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# How packaging/release and packaging/publish hold and change a REPODIR. It only defines.
#
# REPODIR/lock        the lock that each run holds while it reads or changes REPODIR
# REPODIR/current     a link to the snapshot served, snapshots/ID
# REPODIR/public      a link to current/public, what is served
# REPODIR/state       a link to current/state, the release's own record
# REPODIR/snapshots/  the snapshot served, and those that runs are making or left behind
#
# A run makes a new snapshot, a copy of the one served, changes only that, and then points
# current at it with one rename: killed at any moment, REPODIR serves the old snapshot or the
# new one, complete. The run after removes what a stopped run left in snapshots/.

# Holds REPODIR's lock until the run ends; waits, at most an hour, for a run that holds it.
lock_repository() { # REPODIR
    mkdir -p "$1"
    exec {lock_fd}>>"$1/lock"
    if ! flock --nonblock "$lock_fd"; then
        echo "waiting for the lock on $1, held by $(cat "$1/lock")" >&2
        flock --wait 3600 "$lock_fd" || fail "$1 is still locked, by $(cat "$1/lock")"
    fi
    echo "$0 (process $$) since $(date -u '+%F %T UTC')" >"$1/lock"
}

# Whether REPODIR serves a repository that packaging/release made.
is_repository() { # REPODIR
    [ -d "$1/state/releases" ]
}

# Whether REPODIR holds nothing yet but what a first run that was stopped may have left.
is_fresh() { # REPODIR
    [ ! -e "$1" ] && return 0
    [ -z "$(find "$1" -mindepth 1 -maxdepth 1 ! -name lock ! -name snapshots \
        ! -name current.new \( ! -name public ! -name state -o ! -type l \) -print -quit)" ]
}

# A REPODIR made before snapshots holds public and state as folders: they become snapshot 0.
# Each step can be repeated, so a run stopped during it is finished by the next.
adopt_layout() { # REPODIR
    local part
    for part in public state; do
        if [ -d "$1/$part" ] && [ ! -L "$1/$part" ]; then
            mkdir -p "$1/snapshots/0"
            mv "$1/$part" "$1/snapshots/0/$part"
        fi
    done
    [ ! -d "$1/snapshots/0" ] || [ -e "$1/current" ] || serve_snapshot "$1" "$1/snapshots/0"
}

# A new snapshot in REPODIR, a copy of the one served: its path.
new_snapshot() { # REPODIR
    local snapshot
    mkdir -p "$1/snapshots"
    snapshot=$(mktemp -d "$1/snapshots/XXXXXXXX")
    if [ -e "$1/current" ]; then
        cp -a "$1/current/." "$snapshot/"
    fi
    mkdir -p "$snapshot/public" "$snapshot/state/releases"
    echo "$snapshot"
}

# REPODIR serves SNAPSHOT from now on: one rename replaces the link that public and state
# go through.
serve_snapshot() { # REPODIR SNAPSHOT
    local part
    rm -f "$1/current.new"
    ln -s "snapshots/${2##*/}" "$1/current.new"
    mv -T "$1/current.new" "$1/current"
    for part in public state; do
        [ -L "$1/$part" ] || ln -s "current/$part" "$1/$part"
    done
}

# Removes every snapshot of REPODIR but the one served: those of runs that ended or stopped.
prune_snapshots() { # REPODIR
    local served snapshot
    served=$(readlink "$1/current" 2>/dev/null) || served=
    for snapshot in "$1"/snapshots/*; do
        [ -d "$snapshot" ] || continue
        [ "snapshots/${snapshot##*/}" != "$served" ] || continue
        [[ ${snapshot#"$1"/snapshots/} =~ ^[[:alnum:]]+$ ]] || fail "$snapshot is no snapshot"
        rm -rf -- "$snapshot"
    done
}

# Writes standard input to FILE in one rename, so that FILE is whole or as it was.
write_whole() { # FILE
    cat >"$1.new"
    mv -f "$1.new" "$1"
}
