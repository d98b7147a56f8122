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

@test "a replaced cache keeps its permission bits, and its owner may read and write it" {
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
	CASES
}

@test "the cache gets the permissions the umask allows, and its owner may read and write it" {
    mkexe "$T/bin" tool
    path=$T/bin
    while read -r mask bits; do
        rm -f "$cache"
        (umask "$mask" && zp && [ "$status" -eq 0 ])
        [ "$(mode "$cache")" = "$bits" ]
    done <<-'CASES'
		022 644
		077 600
		002 664
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

@test "standard output left non-blocking is waited for, not given up on" {
    mkexe "$T/bin" $(seq -f 'a_long_command_name_%g' 1 20000)
    path=$T/bin:$(sysdir)
    at "$OLD" "$T/bin"
    settle
    # A pipe (of one page, where its size can be set), non-blocking at the
    # writer's end: the listing fills it at once, and the reader drains it in
    # small pieces. The first run rebuilds, the second replays.
    for run in rebuild replay; do
        [ "$run" = rebuild ] || made=$(identity "$cache")
        "$PYTHON" - "$ZELTO_BIN" "$home" "$path" "$T/out" <<-'PY'
			import fcntl, os, subprocess, sys
			binary, home, path, out = sys.argv[1:]
			r, w = os.pipe()
			if hasattr(fcntl, "F_SETPIPE_SZ"):  # Linux only; elsewhere the listing fills the pipe anyway
			    fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 4096)
			os.set_blocking(w, False)
			child = subprocess.Popen([binary], env={"HOME": home, "PATH": path}, stdout=w)
			os.close(w)
			with open(out, "wb") as f:
			    while chunk := os.read(r, 512):
			        f.write(chunk)
			sys.exit(child.wait())
		PY
        [ "$(wc -l <"$T/out")" -eq 20001 ]
        cmp "$T/out" "$cache"
    done
    # The second run replayed: the cache is still the file the first made.
    [ "$(identity "$cache")" = "$made" ]
}

@test "a cache that leads to a FIFO or a socket is left as it is" {
    mkexe "$T/bin" tool
    path=$T/bin
    mkfifo "$T/fifo"
    "$PYTHON" -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$T/socket"
    for target in fifo socket; do
        ln -s -f "$T/$target" "$cache"
        ZELTO_WRAP="$(command -v timeout) 20 ${ZELTO_WRAP:-}" zp
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
