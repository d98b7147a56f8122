#!/usr/bin/env bats
# When the cache is replayed and when the listing is rebuilt.

load common

# A cache that no rebuild would write, so that a replay shows, dated after
# every change a test makes.
replayable_cache() {
    printf 'replayed\n' >"$cache"
    at "$LATER" "$cache"
}

@test "no cache: the listing is rebuilt and stored" {
    mkexe "$T/bin" tool
    path=$T/bin
    zp
    expect_lines tool
    printf 'tool\n' | cmp - "$cache"
}

@test "the cache is replayed unless a component is newer by a whole second" {
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    # The component's mtime, in seconds and a fraction after the cache's
    # second (the cache's own fraction is .5), and whether the cache replays.
    while read -r seconds fraction replays; do
        replayable_cache
        at "$LATER.5" "$cache"
        at "$((LATER + seconds)).$fraction" "$T/bin"
        zp
        if [ "$replays" = yes ]; then
            expect_lines replayed
        else
            expect_lines cat tool
        fi
    done <<-'CASES'
		-50 0 yes
		0 0 yes
		0 9 yes
		1 0 no
		5000 0 no
	CASES
}

@test "a command installed right after a rebuild is listed by the next run" {
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    # From the start of a second, so that the rebuild and the install fall
    # within the same one, where a cache dated when it was written would
    # still count as fresh.
    "$PYTHON" -c 'import time; time.sleep(1 - time.time() % 1)'
    zp
    expect_lines cat tool
    mkexe "$T/bin" installed
    zp
    expect_lines cat installed tool
    cmp "$T/out" "$cache"
}

@test "a rebuild started just after an even second dates its cache three seconds before it" {
    mkexe "$T/bin" tool
    path=$T/bin
    # A few milliseconds into an even second, within the twentieth of a
    # second by which a file system's clock may lag: the scan may be taken to
    # start in the odd second before. The run must end within that twentieth
    # for its start to be known; else it is tried again at the next one.
    status=0
    second=$(env -i HOME="$home" PATH="$path" "$PYTHON" - ${ZELTO_WRAP:-} "$ZELTO_BIN" <<-'PY'
		import os, subprocess, sys, time
		for attempt in range(5):
		    t = time.time()
		    even = int(t) + 2 - int(t) % 2
		    time.sleep(even + 0.005 - t)
		    subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
		    if time.time() < even + 0.05:
		        print(even)
		        sys.exit(0)
		    os.unlink(os.path.join(os.environ["HOME"], ".zelto_cache"))
		sys.exit(77)
	PY
    ) || status=$?
    [ "$status" -ne 77 ] || skip "no rebuild here ends within a twentieth of a second"
    [ "$status" -eq 0 ]
    [ "$(mtime "$cache")" -eq $((second - 3)) ]
}

# mark_cache: replaces the cache's content with "replayed", keeping its time
# to the nanosecond, so that a run that replays it shows.
mark_cache() {
    "$PYTHON" - "$cache" <<-'PY'
		import os, sys
		status = os.stat(sys.argv[1])
		with open(sys.argv[1], "wb") as f:
		    f.write(b"replayed\n")
		os.utime(sys.argv[1], ns=(status.st_atime_ns, status.st_mtime_ns))
	PY
}

@test "after a settled rebuild an unchanged PATH replays the cache" {
    mkexe "$T/a" one
    mkexe "$T/b" two
    : >"$T/file"
    # Each kind of component: read, missing, no directory, read already.
    path=$T/a:$T/missing:$T/file:$T/b:$T/a:$(sysdir)
    at "$OLD" "$T/a" "$T/b" "$T/file"
    settle
    zp
    expect_lines cat one two
    mark_cache
    for _ in 1 2; do
        zp
        expect_lines replayed
    done
}

# record_case CASE: a tree for CASE, every directory in it older than any
# cache, and the PATH to rebuild with ($before) and to run with once CASE's
# change is made ($after).
record_case() {
    local d=$T/$1
    case $1 in
    gained | deleted)
        mkexe "$d/a" one
        mkexe "$d/b" two
        # gained: b joins PATH after the rebuild; deleted: b goes.
        before=$d/a:$d/b after=$d/a:$d/b
        [ "$1" = deleted ] || before=$d/a ;;
    repointed)
        mkexe "$d/v1" old
        mkexe "$d/v2" new
        ln -s v1 "$d/current"
        before=$d/current after=$d/current ;;
    profile)
        # A store that dates everything in 1970, reached through a link.
        mkexe "$d/store/aaa-old/bin" old
        mkexe "$d/store/bbb-new/bin" new
        ln -s store/aaa-old "$d/profile"
        before=$d/profile/bin after=$d/profile/bin ;;
    set_back | clock_ahead | same_tick)
        mkexe "$d/a" one
        before=$d/a after=$d/a ;;
    esac
    at "$OLD" $(find "$d" -type d)
    [ "$1" != profile ] || at 1 $(find "$d/store" -type d)
    before=$before:$T/sys after=$after:$T/sys
}

# date_cache SECONDS: sets the cache's time to SECONDS, keeping its fraction.
date_cache() {
    "$PYTHON" -c 'import os, sys; s = os.stat(sys.argv[1])
os.utime(sys.argv[1], ns=(s.st_atime_ns, int(sys.argv[2]) * 10**9 + s.st_mtime_ns % 10**9))' \
        "$cache" "$1"
}

# record_change CASE: the change.
record_change() {
    local d=$T/$1
    case $1 in
    gained) ;;
    deleted) rm -r "$d/b" ;;
    repointed) ln -s -f -n v2 "$d/current" ;;
    profile) ln -s -f -n store/bbb-new "$d/profile" ;;
    set_back)
        mkexe "$d/a" two
        at "$OLD" "$d/a" ;;
    clock_ahead)
        # As if the clock had run an hour ahead when the cache was written.
        date_cache "$(($(mtime "$cache") + 3600))"
        mkexe "$d/a" two ;;
    same_tick)
        # As if a's last change had come within the clock tick in which the
        # scan looked at it, its change time left as recorded: the cache is
        # then dated before the second of that change.
        date_cache "$(($(ctime "$d/a") - 1))" ;;
    esac
}

@test "a cache is read again when what it records changes, whatever the times say" {
    records_kept
    sysdir >/dev/null
    cases="gained deleted repointed profile set_back clock_ahead same_tick"
    declare -A before_of after_of
    for case in $cases; do
        record_case "$case"
        before_of[$case]=$before after_of[$case]=$after
    done
    settle
    # The listing each case must print after its change.
    declare -A listed=([gained]="cat one two" [deleted]="cat one" [repointed]="cat new"
        [profile]="cat new" [set_back]="cat one two" [clock_ahead]="cat one two"
        [same_tick]="cat one")
    failed=
    for case in $cases; do
        rm -f "$cache"
        path=${before_of[$case]}
        zp
        mark_cache
        zp
        expect_lines replayed
        record_change "$case"
        path=${after_of[$case]}
        zp
        if ! expect_lines ${listed[$case]} || ! cmp "$T/out" "$cache"; then
            failed="$failed $case"
        fi
    done
    [ -z "$failed" ] || {
        echo "failed:$failed"
        return 1
    }
}

@test "a scan that outlasts the record's reach keeps its record for its own user and PATH" {
    records_kept
    mkexe "$T/a" one
    mkexe "$T/b" two
    mkexe "$T/ahead" later
    sysdir >/dev/null
    at "$OLD" "$T/a" "$T/b"
    # A directory dated a minute ahead of the clock, as one that ran ahead
    # leaves it, changed no more recently for that: it is left to the record,
    # which the slow scan keeps.
    at "$(($(date -u +%s) + 60))" "$T/ahead"
    settle
    # The first directory read is held up for longer than the reach of the
    # record allows for.
    path=$T/a:$T/ahead:$T/sys
    zp_strace -e trace=getdents64 -e inject=getdents64:delay_enter=8000000:when=1
    expect_lines cat later one
    mark_cache
    cp -p "$cache" "$T/slow"
    # Who runs with which PATH directories after it, and what that run must
    # print. Another user is root's uid 65534, in a home of its own that
    # holds the cache as if it were its own; an ordinary user has none to be.
    while read -r runner dirs listed; do
        if [ "$runner" = other ] && ! is_root; then
            continue
        fi
        path=
        for dir in ${dirs//,/ }; do
            path=$path$T/$dir:
        done
        path=$path$T/sys
        if [ "$runner" = other ]; then
            home=$T/other cache=$T/other/.zelto_cache
            mkdir -p "$home"
            cp -p "$T/slow" "$cache"
            chown -R 65534:65534 "$home"
            zp_as_user
        else
            cp -p "$T/slow" "$cache"
            zp
        fi
        expect_lines $listed
    done <<-'CASES'
		self a,ahead replayed
		self b cat two
		other a,ahead cat later one
	CASES
}

# bats test_tags=root
@test "a slow scan keeps no record of a directory changed past its reach, which the record cannot show" {
    records_kept
    require_strace
    # d keeps whole seconds: a change made in the second in which the scan
    # looked at it leaves the change time that the record holds.
    mount_image "$T/seconds" seconds
    mkdir "$T/seconds/d"
    mkexe "$T/a" one
    path=$T/a:$T/seconds/d:$(sysdir)
    printf 'old\n' >"$cache"
    at "$OLD" "$cache"
    read -r call number < <(open_call '/seconds/d", O_RDONLY')
    [ -n "$number" ]
    for attempt in 1 2 3; do
        rm -f "$T/trace" "$T/seconds/d"/*
        # Every directory changed before the second the cache is dated in.
        settle
        # The first read, of a, is held up past the record's reach; d is
        # changed while its opening is held, and again, in the same second,
        # once it has been read, while the opening of the next is held.
        (
            zp_strace -e trace="getdents64,$call" -e inject=getdents64:delay_enter=11000000:when=1 \
                -e inject="$call:delay_enter=300000:when=$number..$((number + 1))"
            echo "$status" >"$T/status"
        ) &
        traced '/seconds/d", O_RDONLY'
        mkexe "$T/seconds/d" first
        changed=$(mtime "$T/seconds/d")
        traced '/sys", O_RDONLY'
        mkexe "$T/seconds/d" second
        wait $!
        status=$(cat "$T/status")
        [ "$(mtime "$T/seconds/d")" -ne "$changed" ] || break
        [ "$attempt" -lt 3 ] || {
            echo "the two changes fell in two seconds in every attempt"
            return 1
        }
    done
    expect_lines cat first one
    printf 'old\n' | cmp - "$cache"
    zp
    expect_lines cat first one second
}

# home_on TYPE: HOME on a file system of TYPE (see mount_image), and a PATH of
# an old directory holding tool, and cat.
home_on() {
    mount_image "$T/$1" "$1"
    home=$T/$1/home cache=$T/$1/home/.zelto_cache
    mkdir "$home"
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"
}

# bats test_tags=root
@test "a cache on a file system that keeps whole seconds is dated before its scan" {
    home_on seconds

    # No record: while nothing changes, the cache replays.
    settle
    zp
    expect_lines cat tool
    [ "$(nanoseconds "$cache")" -eq 0 ]
    mark_cache
    zp
    expect_lines replayed

    # A program installed in the very second of the rebuild.
    rm "$cache"
    next_second
    zp
    mkexe "$T/bin" two
    zp
    expect_lines cat tool two

    # A program added, and the directory's time set back as tar and rsync -t
    # do: its change time still shows it.
    mkexe "$T/bin" three
    at "$OLD" "$T/bin"
    zp
    expect_lines cat three tool two
}

# ahead DIR: DIR, one of whose times lies far ahead of the clock, is read
# once, and then its cache replays until DIR changes.
ahead() {
    path=$1:$(sysdir)
    settle
    zp
    mark_cache
    zp
    expect_lines replayed
    mkexe "$1" added
    zp
    grep -qx added "$T/out"
    cmp "$T/out" "$cache"
}

@test "a modification time far ahead of the clock does not make every run rebuild" {
    records_kept
    mkexe "$T/bin" one
    at "$(($(date -u +%s) + 3600))" "$T/bin"
    ahead "$T/bin"
}

# bats test_tags=root
@test "a change time far ahead of the clock does not make every run rebuild" {
    records_kept
    require debugfs "the change time is set in an ext4 image with debugfs"
    # As a clock that ran ahead, and was corrected, leaves it behind.
    mount_image "$T/image" ext4
    mkexe "$T/image/bin" one
    at "$OLD" "$T/image/bin"
    umount "$T/image"
    mounted=
    debugfs -w -R "set_inode_field /bin ctime @$(($(date -u +%s) + 3600))" "$T/image.image" \
        >/dev/null 2>&1
    mount -o loop "$T/image.image" "$T/image"
    mounted=$T/image
    [ "$(ctime "$T/image/bin")" -gt "$(($(date -u +%s) + 3000))" ]
    ahead "$T/image/bin"
}

@test "a file put in the cache's place after it was found is not judged in its stead" {
    require_strace
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"
    # Found: a stale cache. Put in its place before it is opened: a fresh one.
    printf 'old\n' >"$cache"
    at "$OLD" "$cache"
    printf 'replayed\n' >"$T/fresh"
    at "$LATER" "$T/fresh"
    read -r call number < <(open_call '"\.zelto_cache", O_RDONLY')
    # Once the cache has been found by name, while its opening is held up.
    zp_held "$call" "$number" delay_enter '"\.zelto_cache", O_RDONLY' mv "$T/fresh" "$cache"
    expect_lines cat tool
}

@test "a cache that others may write, or that has a second name where others may add names, is rebuilt and made the user's alone" {
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"
    # The cache's bits, whether another name links to it, the home's bits
    # (1777: others may add names, as in /tmp), whether it is replayed, and
    # the line a rebuild says. Each is the user's own, dated in whole seconds
    # after PATH.
    while IFS='|' read -r bits linked home_bits replays message; do
        rm -f "$cache" "$T/second"
        chmod "$home_bits" "$home"
        replayable_cache
        chmod "$bits" "$cache"
        [ "$linked" = no ] || ln "$cache" "$T/second"
        zp
        if [ "$replays" = yes ]; then
            expect_lines replayed
            continue
        fi
        if [ "$message" = - ]; then
            expect_lines cat tool
        else
            expect_said 0 "$message" cat tool
        fi
        cmp "$T/out" "$cache"
        [ "$(mode "$cache")" = 644 ]
        [ "$(ls -ln "$cache" | awk '{ print $2 }')" -eq 1 ]
        [ "$linked" = no ] || printf 'replayed\n' | cmp - "$T/second"
    done <<-'CASES'
		644|no|755|yes|
		666|no|755|no|-
		664|no|755|no|-
		646|no|755|no|-
		644|yes|755|yes|
		644|no|1777|yes|
		644|yes|1777|no|cache rebuilt: it had another name
	CASES
}

@test "a replay prints the file it judged, though another is renamed over its name" {
    mkexe "$T/bin" tool
    # A cat that waits, once started, until the test says go.
    mkdir "$T/cat"
    printf '#!/bin/sh\n: >"%s/started"\nwhile [ ! -e "%s/go" ]; do %s 0.01; done\nexec %s "$@"\n' \
        "$T" "$T" "$(command -v sleep)" "$(command -v cat)" >"$T/cat/cat"
    chmod 755 "$T/cat/cat"
    at "$OLD" "$T/bin" "$T/cat"
    path=$T/cat:$T/bin
    printf 'judged\n' >"$cache"
    at "$LATER" "$cache"
    printf 'renamed\n' >"$T/other"
    (
        zp
        echo "$status" >"$T/status"
    ) &
    for _ in $(seq 500); do
        [ ! -e "$T/started" ] || break
        sleep 0.01
    done
    mv "$T/other" "$cache"
    : >"$T/go"
    wait $!
    status=$(cat "$T/status")
    expect_lines judged
}

@test "a cache that is no regular file is rebuilt, however new" {
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"

    # cat would wait for ever on a FIFO. Each is dated after PATH, in whole
    # seconds, so that a run that judged it would find it fresh.
    mkfifo "$cache"
    at "$LATER" "$cache"
    bounded zp
    expect_lines cat tool
    [ -p "$cache" ]

    rm "$cache"
    mkdir "$cache"
    at "$LATER" "$cache"
    zp
    expect_said 0 'cache not written: a directory is in its place' cat tool
    [ -d "$cache" ]
}

@test "a replay runs cat from an absolute PATH component only" {
    # A cat in the home, where an empty or relative component would find it.
    mkdir "$home/bin"
    printf '#!/bin/sh\necho planted\n' >"$home/cat"
    cp "$home/cat" "$home/bin/cat"
    chmod 755 "$home/cat" "$home/bin/cat"
    sys=$(sysdir)
    at "$OLD" "$home/bin"
    for path in ":$sys" "bin:$sys" ".:$sys"; do
        replayable_cache
        zp
        expect_lines replayed
    done
}

@test "a replay prints the cache's bytes unchanged" {
    path=$(sysdir)
    printf 'no newline at the end\n\n\xff\x01 x' >"$cache"
    at "$LATER" "$cache"
    zp
    cmp "$cache" "$T/out"
    [ "$status" -eq 0 ]
}

@test "a missing component is ignored until it appears newer" {
    path=$T/later:$(sysdir)
    replayable_cache
    zp
    expect_lines replayed

    mkexe "$T/later" fresh
    at "$((LATER + 1))" "$T/later"
    zp
    expect_lines cat fresh
}

@test "a component that is a file counts with its own time" {
    : >"$T/file"
    path=$T/file:$(sysdir)
    replayable_cache
    at "$OLD" "$T/file"
    zp
    expect_lines replayed
    at "$((LATER + 200))" "$T/file"
    zp
    expect_lines cat
}

@test "a relative component is dated in HOME, not where the run starts" {
    mkdir "$home/rel" "$T/rel"
    path=rel:$(sysdir)
    replayable_cache
    at "$OLD" "$home/rel"
    at "$((LATER + 5000))" "$T/rel"
    cd "$T"
    zp
    expect_lines replayed

    at "$((LATER + 5000))" "$home/rel"
    zp
    expect_lines cat
}

@test "a PATH with no component finds any cache fresh" {
    for path in "" ":" ":::"; do
        printf 'old\n' >"$cache"
        at "$OLD" "$cache"
        # No cat is found along such a PATH: the run prints the cache itself.
        zp
        expect_lines old
        printf 'old\n' | cmp - "$cache"
        [ "$(mtime "$cache")" -eq "$OLD" ]
    done
}

# traced_run: runs the binary under strace; the calls it makes itself, from
# the opening of the root, where its walk of HOME begins, to the exec of cat,
# go to $T/calls, one "call "path"" or "call descriptor ..." a line, an open
# with the descriptor it gives, and a status that follows no link as lstat;
# the four calls just before the root's opening go to $T/first, by name.
traced_run() {
    zp_strace \
        -e trace=%stat,%fstat,%file,getdents64,execve,getuid,geteuid,getgid,getegid,getgroups,fcntl,dup2,dup3
    local root='^open(at)?\((AT_FDCWD, )?"/", '
    sed -E 's/^[0-9]+ +//' "$T/trace" | grep -E -B 4 -m 1 "$root" | sed -n '1,4s/(.*//p' >"$T/first"
    sed -E 's/^[0-9]+ +//' "$T/trace" | sed -E -n "\\%$root%,\\%execve\\(\".*/cat\"%p" | grep -v execve |
        sed -E '/AT_SYMLINK_NOFOLLOW/s/^[a-z0-9_]+\(([A-Z_]+|[0-9]+), ("[^"]*").*/lstat \2/
            s/^(newfstatat|fstatat64|statx)\(([0-9]+), "",.*/fstat \2/; s/^fstat(64)?\(([0-9]+),.*/fstat \2/
            s/^open(at)?\(([A-Z_]+, |[0-9]+, )?("[^"]*").* = ([0-9]+)$/open \3 = \4/
            s/^([a-z0-9_]+)\((AT_FDCWD, )?("[^"]*").*/\1 \3/
            s/^(newfstatat|fstatat64|statx|stat64) /stat /
            s/^get(e?[ug]id|groups)\(.*/get\1/
            s/^fcntl\(([0-9]+), ([A-Z_]+).*/fcntl \1 \2/; s/^dup[23]?\(([0-9]+), ([0-9]+).*/dup2 \1 \2/' \
        >"$T/calls"
}

@test "a fresh run walks HOME, opens the cache, stats each component once, and reads no directory" {
    mkexe "$T/a" one
    mkexe "$T/b" two
    # Every directory of HOME's own path, none of them a link.
    home=$(cd "$home" && pwd -P) cache=$home/.zelto_cache
    path=$T/a::$T/missing:$T/b:$(sysdir)
    replayable_cache
    at "$OLD" "$T/a" "$T/b"

    traced_run
    printf 'replayed\n' | cmp - "$T/out"
    grep -q 'execve(".*/cat"' "$T/trace"
    # Its ids, before anything else: a set-user-ID copy would drop them.
    sort "$T/first" | tr '\n' ' ' | grep -qx 'getegid geteuid getgid getuid '
    # Each directory of HOME's path is opened and judged on what is open;
    # the home must be where the run works, and the cache is judged from the
    # file opened, which becomes cat's standard input.
    fds=($(sed -n 's/^open ".*" = //p' "$T/calls"))
    {
        i=0
        IFS=/ read -ra names <<<"${home#/}"
        for name in / "${names[@]}"; do
            printf 'open "%s" = %s\nfstat %s\n' "$name" "${fds[i]}" "${fds[i]}"
            i=$((i + 1))
        done
        printf '%s\n' \
            "chdir \"$home\"" \
            'stat "."' \
            'lstat ".zelto_cache"' \
            "open \".zelto_cache\" = ${fds[i]}" \
            "fstat ${fds[i]}" \
            getgroups \
            "stat \"$T/a\"" \
            "stat \"$T/missing\"" \
            "stat \"$T/b\"" \
            "stat \"$T/sys\"" \
            'fcntl 1 F_GETFL' \
            "dup2 ${fds[i]} 0"
    } | diff -u - "$T/calls"
    ! grep -E 'getdents|O_DIRECTORY' "$T/trace" | grep -v O_PATH
}

@test "the first newer component ends the test" {
    mkexe "$T/a" one
    mkexe "$T/b" two
    path=$T/a:$T/b:$(sysdir)
    replayable_cache
    at "$((LATER + 500))" "$T/a"
    at "$OLD" "$T/b"

    traced_run
    printf 'cat\none\ntwo\n' | cmp - "$T/out"
    grep -E '^l?stat ' "$T/calls" >"$T/stats"
    printf '%s\n' 'stat "."' 'lstat ".zelto_cache"' "stat \"$T/a\"" | diff -u - "$T/stats"
}

# bats test_tags=root
@test "a program added right after a rebuild to a directory on FAT is listed" {
    mount_image "$T/fat" fat
    path=$T/fat/bin:$(sysdir)
    # The directory's last change comes just after an even second, and the
    # rebuild and the addition in the odd second after it. FAT dates both
    # changes in that even second, so the directory looks as it did to the
    # rebuild's record: only the cache's time, an odd second before the even
    # one, can show the addition.
    next_second even
    mkdir "$T/fat/bin"
    # FAT keeps no modes: every file is executable for its owner, root.
    : >"$T/fat/bin/tool"
    next_second
    zp
    expect_lines cat tool
    : >"$T/fat/bin/added"
    zp
    expect_lines added cat tool
}

# bats test_tags=root
@test "a cache on FAT is kept, and claims no second its scan did not cover" {
    home_on fat
    # FAT can set no mode, which must not cost the cache; each run starts
    # early in a second, and installs a program at once.
    for name in one two; do
        next_second
        zp
        cmp "$T/out" "$cache"
        [ "$(mtime "$cache")" -lt "$(date -u +%s)" ]
        mkexe "$T/bin" "$name"
        zp
        grep -qx "$name" "$T/out"
        cmp "$T/out" "$cache"
    done
}

@test "runs with two PATHs in one HOME each print their own PATH's listing" {
    records_kept
    stress paths 200
}

@test "the records of the caches made for thousands of PATHs are hardly ever alike" {
    records_kept
    stress records 4000
}

# bats test_tags=root
@test "a cache made for another user, or for other groups, is rebuilt for this one" {
    is_root || skip "runs as two users, or with two sets of groups, need root"
    records_kept
    # rootonly may be run by root alone, staff by group 4242 as well.
    mkdir -m 755 "$T/bin"
    : >"$T/bin/rootonly"
    : >"$T/bin/staff"
    chmod 700 "$T/bin/rootonly"
    chgrp 4242 "$T/bin/staff"
    chmod 710 "$T/bin/staff"
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"
    settle
    zp
    expect_lines cat rootonly staff
    # Root's cache, in a home of uid 65534's own, as if it were its own: only
    # its record tells whom it was made for. Each run follows the one before,
    # and must list for its own user and groups.
    mkdir "$T/user"
    cp -p "$cache" "$T/user/.zelto_cache"
    chown -R 65534:65534 "$T/user"
    home=$T/user cache=$T/user/.zelto_cache
    while read -r user_groups listed; do
        [ "$user_groups" != - ] || user_groups=
        zp_as_user
        expect_lines $listed
        cmp "$T/out" "$cache"
    done <<-'CASES'
		- cat
		4242 cat staff
		- cat
	CASES
}

# setid_ready: skips where a set-user-ID copy cannot be run and seen as it
# is: without root, under the sanitizers or a wrapper, or on a nosuid mount.
setid_ready() {
    is_root || skip "a set-user-ID run needs root"
    [ "${ZELTO_SANITIZED:-0}" != 1 ] ||
        skip "the sanitizers' leak check cannot stop a set-user-ID process, nor be told not to"
    [ -z "${ZELTO_WRAP:-}" ] || skip "a wrapper such as valgrind runs no set-user-ID program"
    "$PYTHON" -c 'import os, sys; sys.exit(os.statvfs(sys.argv[1]).f_flag & os.ST_NOSUID)' "$T" ||
        skip "the scratch tree is mounted nosuid"
}

# setid_install OWNER MODE RUNNER: installs the binary as $T/setid, owned by
# OWNER (user and group) with MODE, and makes a fresh HOME of RUNNER's.
setid_install() {
    rm -rf "$home"
    mkdir "$home"
    chown "$3:$3" "$home"
    install -m "$2" -o "$1" -g "$1" "$ZELTO_BIN" "$T/setid"
}

# setid_run RUNNER [HOLDER]: runs $T/setid as RUNNER (root, or uid and gid
# 65534 with no other group), through the Python script HOLDER where one is
# given.
setid_run() {
    local run=("$T/setid")
    [ "$1" = 0 ] || run=("$PYTHON" "$BATS_TEST_DIRNAME/as_user.py" "${run[@]}")
    [ -z "${2:-}" ] || run=("$PYTHON" "$2" "$T/held" "${run[@]}")
    status=0
    env -i HOME="$home" PATH="$path" "${run[@]}" >"$T/out" 2>"$T/err" || status=$?
}

# bats test_tags=root
@test "a set-id copy lists, keeps its cache and runs cat for whoever started it" {
    setid_ready
    mkdir -m 755 "$T/bin" "$T/cat"
    : >"$T/bin/rootonly"
    chmod 700 "$T/bin/rootonly"
    # The runner's cat notes its real, effective and saved user and group
    # IDs, as a program that keeps them (a shell may drop its own), and
    # prints as cat.
    local python
    # The suite's own may sit where that user cannot reach it, as under
    # root's home.
    for python in "$PYTHON" $(type -ap python3) /usr/local/bin/python3 /usr/bin/python3; do
        env -i "$PYTHON" "$BATS_TEST_DIRNAME/as_user.py" "$python" -c '' 2>/dev/null && break
        python=
    done
    [ -n "$python" ] || skip "no Python that uid 65534 may run, for the runner's cat"
    mkdir -m 777 "$T/notes"
    printf '#!%s\nimport os\nwith open("%s/notes/ids", "w") as f:\n    print(*os.getresuid(), *os.getresgid(), file=f)\nos.execv("%s", ["cat"])\n' \
        "$python" "$T" "$(command -v cat)" >"$T/cat/cat"
    chmod 755 "$T/cat/cat"
    at "$OLD" "$T/bin" "$T/cat"
    path=$T/cat:$T/bin
    settle
    # The copy's owner and mode, the runner's uid, and what it may list.
    while read -r owner mode runner listed; do
        rm -f "$T/notes/ids"
        setid_install "$owner" "$mode" "$runner"
        for run in rebuild replay; do
            setid_run "$runner"
            expect_lines $listed
            [ "$(ls -ln "$cache" | awk '{ print $3, $4 }')" = "$runner $runner" ]
        done
        [ "$(cat "$T/notes/ids")" = "$runner $runner $runner $runner $runner $runner" ]
    done <<-'CASES'
		0 4755 65534 cat
		0 6755 65534 cat
		0 2755 65534 cat
		4242 6755 65534 cat
		65534 6755 0 cat rootonly
	CASES
}

# bats test_tags=root
@test "a set-id copy holds no ID of its owner's while it runs" {
    setid_ready
    [ -r /proc/self/status ] || skip "no /proc/PID/status here to show a process's saved IDs"
    # A listing far larger than a pipe holds, so that a run whose standard
    # output nobody reads waits, after its IDs were dropped, until it is read.
    mkexe "$T/bin" $(seq -f 'a_name_long_enough_to_fill_a_pipe_soon_%g' 1 4000)
    path=$T/bin
    # held: runs the rest of its arguments with standard output a pipe, reads
    # the run's IDs once the pipe holds the listing's first bytes, then
    # drains it to its own standard output. The IDs go to its first argument.
    cat >"$T/held.py" <<-'PY'
		import os, select, subprocess, sys
		r, w = os.pipe()
		child = subprocess.Popen(sys.argv[2:], stdout=w)
		os.close(w)
		select.select([r], [], [])
		with open("/proc/%d/status" % child.pid) as status, open(sys.argv[1], "w") as ids:
		    for line in status:
		        if line.startswith(("Uid:", "Gid:")):
		            ids.write(" ".join(line.split()[1:]) + "\n")
		with os.fdopen(r, "rb") as listing:
		    sys.stdout.buffer.write(listing.read())
		sys.exit(child.wait())
	PY
    while read -r owner mode runner; do
        setid_install "$owner" "$mode" "$runner"
        setid_run "$runner" "$T/held.py"
        [ "$status" -eq 0 ]
        [ "$(wc -l <"$T/out")" -eq 4000 ]
        # Real, effective, saved and file-system IDs, the user's then the group's.
        printf '%s %s %s %s\n' "$runner" "$runner" "$runner" "$runner" \
            "$runner" "$runner" "$runner" "$runner" | diff -u - "$T/held"
    done <<-'CASES'
		0 6755 65534
		4242 6755 65534
		65534 6755 0
	CASES
}
