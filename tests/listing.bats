#!/usr/bin/env bats
# The listing's order and bytes, and how the cache file is replaced.

load common

@test "names come once each, in ascending byte order, to standard output and the cache" {
    mkexe "$T/a" b B _x a ab a_ aB Z '~' "$(printf '\xc3\xa9')" 1 - \
        prefix12Z prefix12 "$(printf 'prefix12\xe9')" prefix123
    mkexe "$T/b" a ab Z zz prefix12
    mkexe "$T/c" a
    path=$T/a:$T/b:$T/c
    zp
    expect_lines - 1 B Z _x a aB a_ ab b prefix12 prefix123 prefix12Z "$(printf 'prefix12\xe9')" \
        zz '~' "$(printf '\xc3\xa9')"
    cmp "$T/out" "$cache"
    no_temporary_files
}

@test "names are written byte for byte, and a name with a line feed is left out" {
    high=$(printf '\x80\xfe\xff')
    longest=$(printf 'n%.0s' $(seq 255))
    mkexe "$T/bin" "$high" "$longest" 'tab	and space' ls aa $'zz\nls' $'\nlead' $'trail\n'
    path=$T/bin
    zp
    printf '%s\n' aa ls "$longest" 'tab	and space' "$high" | cmp - "$T/out"
    cmp "$T/out" "$cache"
}

@test "an empty listing leaves an empty cache and prints nothing" {
    mkplain "$T/bin" data
    path=$T/bin
    printf 'stale\n' >"$cache"
    at "$OLD" "$cache"
    zp
    expect_lines
    [ -f "$cache" ]
    [ ! -s "$cache" ]
}

@test "a reader that stops early still leaves the whole listing in the cache" {
    for d in 1 2 3 4; do
        mkdir "$T/d$d"
        (cd "$T/d$d" && seq -f "tool${d}_%g" 1 5000 | xargs touch && chmod 755 ./*)
        path=$path${path:+:}$T/d$d
    done
    env -i HOME="$home" PATH="$path" ${ZELTO_WRAP:-} "$ZELTO_BIN" | head -n 1 >"$T/first"
    [ "$(cat "$T/first")" = tool1_1 ]
    cp "$cache" "$T/kept"
    no_temporary_files

    rm "$cache"
    zp
    [ "$(wc -l <"$T/out")" -eq 20000 ]
    cmp "$T/out" "$T/kept"
}

@test "a cache behind symbolic links is replaced where it lives and the links stay" {
    mkexe "$T/bin" tool
    path=$T/bin
    mkdir "$home/data" "$T/elsewhere"
    ln -s data/hop "$cache"
    ln -s ../../elsewhere/listing "$home/data/hop"
    zp
    expect_lines tool
    [ -L "$cache" ]
    [ -L "$home/data/hop" ]
    printf 'tool\n' | cmp - "$T/elsewhere/listing"

    mkexe "$T/bin" more
    at "$OLD" "$T/elsewhere/listing"
    zp
    printf 'more\ntool\n' | cmp - "$T/elsewhere/listing"
    [ -L "$cache" ]
    [ -z "$(ls -A "$home/data" | grep -v '^hop$')" ]
    [ -z "$(ls -A "$T/elsewhere" | grep -v '^listing$')" ]
}

@test "names shorter than the sort's prefix, alone or beside their extensions" {
    # One name of a byte is compared only with itself; the others share their
    # first eight bytes.
    mkexe "$T/a" x
    mkexe "$T/b" abcdefgh abcdefg abcdefghi
    for path in "$T/a" "$T/b"; do
        rm -f "$cache"
        zp
        cmp "$T/out" "$cache"
    done
    expect_lines abcdefg abcdefgh abcdefghi
}

@test "a cache behind a link to the longest file name is replaced" {
    mkexe "$T/bin" tool
    path=$T/bin
    mkdir "$T/elsewhere"
    longest=$(printf 'n%.0s' $(seq 255))
    ln -s "$T/elsewhere/$longest" "$cache"
    zp
    expect_lines tool
    printf 'tool\n' | cmp - "$T/elsewhere/$longest"
    [ "$(ls -A "$T/elsewhere")" = "$longest" ]
}

@test "a replaced cache keeps its permission bits, less any other's write, and its owner may read and write it" {
    mkexe "$T/bin" tool
    path=$T/bin
    # The old cache's bits, and the new one's.
    while read -r old new; do
        printf 'old\n' >"$cache"
        chmod "$old" "$cache"
        at "$OLD" "$cache"
        zp
        expect_lines tool
        [ "$(mode "$cache")" = "$new" ]
    done <<-'CASES'
		600 600
		640 640
		444 644
		0 600
		705 705
		666 644
		662 640
	CASES
}

@test "the cache gets the permissions the umask allows, never another's write, and its owner may read and write it" {
    mkexe "$T/bin" tool
    path=$T/bin
    while read -r mask bits; do
        rm -f "$cache"
        (umask "$mask" && zp && [ "$status" -eq 0 ])
        [ "$(mode "$cache")" = "$bits" ]
    done <<-'CASES'
		022 644
		077 600
		002 644
		0 644
		0777 600
	CASES
}

@test "an ordinary user's cache made under umask 0777, or made unreadable, is read again" {
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"
    own_home
    printf '#!/bin/sh\numask 0777\nexec "$@"\n' >"$T/umask0777"
    chmod 755 "$T/umask0777"
    settle
    ZELTO_WRAP="$T/umask0777 ${ZELTO_WRAP:-}" zp_as_user
    expect_lines cat tool
    # The next run replays it.
    made=$(identity "$cache")
    zp_as_user
    expect_lines cat tool
    [ "$(identity "$cache")" = "$made" ]
    # A cache its owner may not read is rebuilt, and made readable.
    chmod 000 "$cache"
    zp_as_user
    expect_lines cat tool
    [ "$(mode "$cache")" = 600 ]
}

@test "no directory on the way that others may write holds the cache, from HOME's own path on" {
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"
    # What leads to the cache, and the line on standard error. The way is
    # $T/way, made anew each time, with these bits; a file there is dated
    # after every directory, so that a run that judged it would replay it.
    while IFS='|' read -r case bits message; do
        rm -rf "$T/way" "$T/link" "$cache"
        mkdir "$T/way"
        chmod "$bits" "$T/way"
        home=$T/home cache=$T/home/.zelto_cache
        case $case in
        cache_link) # the user's own link to a file in the way
            printf 'secret\n' >"$T/way/file"
            at "$LATER" "$T/way/file"
            ln -s "$T/way/file" "$cache" ;;
        home_in_way)
            mkdir "$T/way/home"
            home=$T/way/home ;;
        home_is_way) home=$T/way ;;
        home_through_link) # the user's own link to a home in the way
            mkdir "$T/way/home"
            ln -s way/home "$T/link"
            home=$T/link ;;
        esac
        cache=$home/.zelto_cache
        zp
        if [ "$message" = - ]; then
            expect_lines cat tool
            cmp "$T/out" "$cache"
            continue
        fi
        expect_said 0 "$message" cat tool
        case $case in
        cache_link)
            printf 'secret\n' | cmp - "$T/way/file"
            [ "$(ls -A "$T/way")" = file ] ;;
        *) [ -z "$(ls -A "$home")" ] ;;
        esac
    done <<-'CASES'
		cache_link|777|cache not written: a directory others may write
		home_in_way|777|cache not written: a directory others may write
		home_in_way|775|cache not written: a directory others may write
		home_in_way|1777|-
		home_is_way|770|cache not written: a directory others may write
		home_is_way|1777|-
		home_through_link|757|cache not written: a directory others may write
		home_through_link|755|-
	CASES
}

@test "a HOME re-pointed between its walk and the run's change into it gets no cache" {
    require_strace
    mkexe "$T/bin" tool
    path=$T/bin
    mkdir "$T/walked" "$T/entered"
    ln -s walked "$T/home_link"
    home=$T/home_link
    repoint() {
        ln -s -f -n entered "$T/home_link"
    }
    zp_held chdir 1 delay_enter 'chdir\(' repoint
    expect_said 0 'cache not written: no directory to hold it' tool
    [ -z "$(ls -A "$T/walked")" ]
    [ -z "$(ls -A "$T/entered")" ]
}

# nonblocking_run PIECE: runs the binary with standard output a pipe (of one
# page, where its size can be set), non-blocking at the writer's end, whose
# reader drains it into $T/out, PIECE bytes at a time. The peak resident
# memory of the run, in KiB, goes to $T/peak.
nonblocking_run() {
    status=0
    "$PYTHON" - "$1" "$ZELTO_BIN" "$home" "$path" "$T/out" "$T/peak" <<-'PY' || status=$?
		import fcntl, os, resource, subprocess, sys
		piece, binary, home, path, out, peak = sys.argv[1:]
		r, w = os.pipe()
		if hasattr(fcntl, "F_SETPIPE_SZ"):  # Linux only; elsewhere the listing fills the pipe anyway
		    fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 4096)
		os.set_blocking(w, False)
		child = subprocess.Popen([binary], env={"HOME": home, "PATH": path}, stdout=w)
		os.close(w)
		with open(out, "wb") as f:
		    while chunk := os.read(r, int(piece)):
		        f.write(chunk)
		status = child.wait()
		with open(peak, "w") as f:
		    print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, file=f)
		sys.exit(status)
	PY
}

@test "standard output left non-blocking is waited for, not given up on" {
    mkexe "$T/bin" $(seq -f 'a_long_command_name_%g' 1 20000)
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"
    settle
    # The listing fills the pipe at once, and the reader drains it in small
    # pieces. The first run rebuilds, the second replays.
    for run in rebuild replay; do
        [ "$run" = rebuild ] || made=$(identity "$cache")
        nonblocking_run 512
        [ "$status" -eq 0 ]
        [ "$(wc -l <"$T/out")" -eq 20001 ]
        cmp "$T/out" "$cache"
    done
    # The second run replayed: the cache is still the file the first made.
    [ "$(identity "$cache")" = "$made" ]
}

@test "a replay to a non-blocking standard output holds a buffer, not the whole cache" {
    path=$(sysdir)
    # A cache of a line, and one of 64 MiB, each dated after PATH.
    for lines in 1 1048576; do
        "$PYTHON" -c 'import sys
with open(sys.argv[2], "wb") as f:
    f.write(b"%063d\n" * int(sys.argv[1]) % tuple(range(int(sys.argv[1]))))' "$lines" "$cache"
        at "$LATER" "$cache"
        nonblocking_run 65536
        [ "$status" -eq 0 ]
        cmp "$T/out" "$cache"
        peak[$lines]=$(cat "$T/peak")
    done
    echo "# peak resident memory: ${peak[1]} KiB for a line, ${peak[1048576]} KiB for 64 MiB" >&3
    [ "${peak[1048576]}" -lt $((peak[1] + 16384)) ]
}

@test "a cache that leads to a FIFO or a socket is left as it is" {
    mkexe "$T/bin" tool
    path=$T/bin
    mkfifo "$T/fifo"
    mksocket "$T/socket"
    for target in fifo socket; do
        ln -s -f "$T/$target" "$cache"
        bounded zp
        expect_lines tool
        [ -L "$cache" ]
    done
    [ -p "$T/fifo" ]
    [ -S "$T/socket" ]
    [ -z "$(find "$T" -name '*.tmp')" ]
}

# bats test_tags=root
@test "a cache that leads to a device node is left as it is" {
    is_root || skip "making a device node needs root"
    # A node of its own for the null device, never the system's.
    mknod "$T/null" c 1 3 2>/dev/null || skip "no device node can be made here"
    mkexe "$T/bin" tool
    path=$T/bin
    ln -s "$T/null" "$cache"
    ls -ln "$T/null" >"$T/before"
    zp
    expect_lines tool
    [ -L "$cache" ]
    [ -c "$T/null" ]
    ls -ln "$T/null" | cmp - "$T/before"
    [ -z "$(find "$T" -name '*.tmp')" ]
}

# user_link TARGET NAME: a link of uid 65534's, called NAME, to TARGET.
user_link() {
    ln -s "$1" "$2"
    chown -h 65534:65534 "$2"
}

# bats test_tags=root
@test "another user's home, directory, link or file never steers a run" {
    is_root || skip "a run of root's beside another user's files needs root"
    mkexe "$T/bin" tool
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"
    mkdir -m 755 "$T/root" "$T/user"
    chown 65534:65534 "$T/user"
    # What stands at the cache's path, whose it is (the user's links by
    # user_link; the user is 65534, and 4242 another), who runs, and the line
    # on standard error. The home is root's and sticky, as /tmp is, so that
    # the user's links and files may stand in it, or else the user's own.
    # Every file there is dated after every directory, in whole seconds, so
    # that a run that judged it would replay it; a FIFO would hold up a run
    # that opened it.
    while IFS='|' read -r case runner owner message; do
        home=$T/home cache=$T/home/.zelto_cache
        rm -rf "$cache" "$home/sub" "$T/root"/* "$T/user"/* "$T/user_home"
        chown 0:0 "$home"
        chmod 1777 "$home"
        printf 'secret\n' >"$T/root/file"
        at "$LATER" "$T/root/file"
        case $case in
        user_link)
            user_link "$T/root/file" "$cache" ;;
        user_dangling_link)
            user_link "$T/root/new" "$cache" ;;
        user_link_above) # root's own link, through a directory link of the user's
            user_link "$T/root" "$home/sub"
            ln -s sub/file "$cache" ;;
        file | writable_file)
            printf 'forged\n' >"$cache"
            [ "$case" = file ] || chmod 666 "$cache"
            chown "$owner:$owner" "$cache" ;;
        fifo)
            mkfifo "$cache"
            chown "$owner:$owner" "$cache" ;;
        socket)
            mksocket "$cache"
            chown "$owner:$owner" "$cache" ;;
        root_link) ln -s "$T/user/cache" "$cache" ;;
        root_link_into_user_dir) ln -s "$T/user/cache" "$cache" ;;
        user_home)
            chown 65534:65534 "$home"
            chmod 755 "$home"
            printf 'forged\n' >"$cache" ;;
        user_link_home) # HOME through the user's link into root's directory
            user_link "$T/root" "$T/user_home"
            home=$T/user_home cache=$T/user_home/.zelto_cache ;;
        esac
        [ ! -f "$cache" ] || at "$LATER" "$cache"
        if [ "$runner" = root ]; then
            bounded zp
        else
            bounded zp_as_user
        fi
        printf 'cat\ntool\n' | cmp - "$T/out"
        [ "$status" -eq 0 ]
        if [ "$message" = - ]; then
            [ ! -s "$T/err" ]
        else
            printf 'zelto_path: %s\n' "$message" | diff -u - "$T/err"
        fi
        # Root's file is as it was, and nothing was made beside it.
        printf 'secret\n' | cmp - "$T/root/file"
        [ "$(ls -A "$T/root")" = file ]
        case $case:$runner in
        *file:root) # replaced by root's own, which no one else may write
            cmp "$T/out" "$cache"
            [ "$(uid_of "$cache")" = 0 ]
            [ $((0$(mode "$cache") & 022)) -eq 0 ] ;;
        file:user) # neither replayed nor replaced
            printf 'forged\n' | cmp - "$cache"
            [ "$(uid_of "$cache")" = "$owner" ] ;;
        fifo:* | socket:*) # left as it is
            [ -p "$cache" ] || [ -S "$cache" ]
            [ "$(uid_of "$cache")" = "$owner" ] ;;
        root_link:*) cmp "$T/out" "$T/user/cache" ;;
        root_link_into_user_dir:*) [ -z "$(ls -A "$T/user")" ] ;;
        user_home:*) # nothing of root's is written there, nor replayed
            printf 'forged\n' | cmp - "$cache"
            [ "$(ls -A "$home")" = .zelto_cache ] ;;
        user_link_home:*) ;; # nothing was made in root's directory
        *) [ -L "$cache" ] ;;
        esac
    done <<-'CASES'
		user_link|root|-|cache not written: another user's link
		user_dangling_link|root|-|cache not written: another user's link
		user_link_above|root|-|cache not written: another user's link
		writable_file|root|65534|-
		file|root|65534|-
		file|user|4242|cache not written: another user's file
		file|user|0|cache not written: it cannot be replaced
		fifo|root|65534|cache not written: another user's file
		socket|root|65534|cache not written: another user's file
		fifo|user|4242|cache not written: another user's file
		fifo|user|65534|-
		fifo|user|0|-
		root_link|user|-|-
		root_link_into_user_dir|root|-|cache not written: another user's directory
		user_home|root|-|cache not written: another user's directory
		user_link_home|root|-|cache not written: another user's link
	CASES
}

# race_layout CASE: root's home, which others may write but is sticky, with
# root's link at the cache's name for CASE (see below); root's file
# $T/root/file; and $T/other, root's, where the link leads.
race_layout() {
    rm -rf "$T/root" "$T/other" "$T/moved" "$cache" "$home/sub" "$home/new"
    chmod 1777 "$home"
    mkdir -m 755 "$T/root" "$T/other"
    printf 'secret\n' >"$T/root/file"
    case $1 in
    relinked | reused) ln -s "$T/other/cache" "$cache" ;;
    swapped_dir)
        mkdir "$home/sub"
        ln -s sub/cache "$cache" ;;
    esac
}

# race_step CASE: what another user does while the run is held: re-points
# the cache's link, as a link of theirs, to root's file, by a new link renamed
# over it (relinked) or by one made anew, which may get its inode (reused);
# or puts a link of theirs to root's directory in the place of a directory on
# the way (swapped_dir).
race_step() {
    case $1 in
    relinked)
        user_link "$T/root/file" "$home/new"
        mv "$home/new" "$cache" ;;
    reused)
        rm "$cache"
        user_link "$T/root/file" "$cache" ;;
    swapped_dir)
        mv "$home/sub" "$T/moved"
        user_link "$T/root" "$home/sub" ;;
    esac
}

# raced CASE: the run was held at the step CASE races, and CASE's change made
# then; it printed the listing with one line, and left root's file and
# directories as they were.
raced() {
    local call pattern hold number
    case $1 in
    relinked | reused) call=readlinkat pattern='readlinkat\(.*"\.zelto_cache"' hold=delay_exit ;;
    swapped_dir) call=openat pattern='openat\(.*"sub", ' hold=delay_enter ;;
    esac
    race_layout "$1"
    number=$(call_number "$call" "$pattern")
    [ -n "$number" ]
    race_layout "$1"
    before=$(ls -di "$cache" | awk '{ print $1 }')
    zp_held "$call" "$number" "$hold" "$pattern" race_step "$1"
    expect_said 0 "cache not written: another user's link" tool
    printf 'secret\n' | cmp - "$T/root/file"
    [ "$(ls -A "$T/root")" = file ]
    [ -z "$(ls -A "$T/other")" ]
}

# bats test_tags=root
@test "a link or directory swapped for another user's while the run walks to it is not followed" {
    is_root || skip "another user's link in root's home needs root"
    require_strace
    mkexe "$T/bin" tool
    path=$T/bin
    for case in relinked swapped_dir; do
        raced "$case"
    done
}

# bats test_tags=root
@test "a link swapped for another user's that reuses its inode is not followed" {
    is_root || skip "another user's link in root's home needs root"
    require_strace
    mkexe "$T/bin" tool
    path=$T/bin
    # The file system may give the new link the old one's inode, or not.
    for _ in 1 2 3 4 5 6; do
        raced reused
        [ "$(ls -di "$cache" | awk '{ print $1 }')" != "$before" ] || return 0
    done
    skip "the scratch file system gave no new link its predecessor's inode in 6 tries"
}
