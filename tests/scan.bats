#!/usr/bin/env bats
# Which entries of which PATH directories make the listing.

load common

@test "visible entries that pass the execute test are listed, whatever their type" {
    mkexe "$T/bin" tool .hidden
    mkplain "$T/bin" data
    mkdir "$T/bin/subdir" "$T/bin/.hiddendir"
    ln -s tool "$T/bin/link"
    ln -s data "$T/bin/plainlink"
    ln -s nowhere "$T/bin/broken"
    mkfifo "$T/bin/fifo"
    path=$T/bin
    zp
    expect_lines link subdir tool
}

# scripts MODE...: a script called modeMODE with each MODE, in $T/bin.
scripts() {
    local mode
    mkdir -p -m 755 "$T/bin"
    for mode; do
        printf '#!/bin/sh\n' >"$T/bin/mode$mode"
        chmod "$mode" "$T/bin/mode$mode"
    done
}

@test "the execute test is made for the real user" {
    scripts 700 710 711 750 755
    path=$T/bin
    if ! is_root; then
        # The user's own files: the owner's bits alone count.
        scripts 070 007
        zp_as_user
        expect_lines mode700 mode710 mode711 mode750 mode755
        return
    fi
    own_home

    zp_as_user
    expect_lines mode711 mode755
    rm "$cache"
    chown 0:0 "$home"
    zp
    expect_lines mode700 mode710 mode711 mode750 mode755
}

@test "empty components are dropped and never mean the current directory" {
    mkexe "$T/a" one
    mkexe "$T/b" two
    mkexe "$home" in_home
    for path in "::$T/a::$T/b:" "$T/a:$T/b"; do
        rm -f "$cache"
        zp
        expect_lines one two
    done
    for path in "" ":" ":::"; do
        rm -f "$cache"
        zp
        expect_lines
        [ -f "$cache" ]
        [ ! -s "$cache" ]
    done
}

@test "a name found in several directories, or one directory reached twice, is listed once" {
    mkexe "$T/a" shared only_a
    mkexe "$T/b" shared only_b
    ln -s a "$T/link_to_a"
    path=$T/a:$T/b:$T/a:$T/link_to_a:$T/b/:$T/a/../b
    zp
    expect_lines only_a only_b shared
}

# bats test_tags=root
@test "a directory mounted again elsewhere, without exec, is tested on its own" {
    mkexe "$T/real" tool
    mkdir "$T/noexec"
    # Linux's bind mount, else FreeBSD's nullfs.
    if mount --bind "$T/real" "$T/noexec" 2>/dev/null; then
        mounted=$T/noexec
        mount -o remount,bind,noexec "$T/noexec"
    elif mount -t nullfs -o noexec "$T/real" "$T/noexec" 2>/dev/null; then
        mounted=$T/noexec
    else
        skip "no second view of a directory: needs root and a bind or nullfs mount"
    fi
    for path in "$T/noexec:$T/real" "$T/real:$T/noexec"; do
        rm -f "$cache"
        zp
        expect_lines tool
    done
    rm "$cache"
    path=$T/noexec
    zp
    expect_lines
}

@test "the same name stays listed if only one directory has it executable" {
    mkplain "$T/a" tool
    mkexe "$T/b" tool
    path=$T/a:$T/b
    zp
    expect_lines tool
}

@test "relative components resolve in HOME, wherever the run starts" {
    mkexe "$home/rel" in_home_rel
    mkexe "$home" in_home
    mkexe "$T/elsewhere/rel" in_start_dir
    cd "$T/elsewhere"
    path=rel:.
    zp
    expect_lines in_home in_home_rel rel
}

@test "components that are no readable directory are passed over" {
    mkexe "$T/bin" tool
    : >"$T/file"
    mkfifo "$T/fifo"
    mkdir -m 311 "$T/unreadable"
    mkexe "$T/unreadable" hidden_tool
    chmod 311 "$T/unreadable"
    own_home
    path=$T/file:$T/missing:$T/fifo:$T/unreadable:$T/bin
    zp_as_user
    expect_lines tool
}

# unread_cache: a stale cache, so that a run reads PATH; afterwards
# cache_unread checks it was left as it was.
unread_cache() {
    printf 'the old cache\n' >"$cache"
    at "$OLD" "$cache"
}
cache_unread() {
    printf 'the old cache\n' | cmp - "$cache"
    [ "$(mtime "$cache")" -eq "$OLD" ]
    no_temporary_files
}

@test "with no descriptor to open a directory, the listing is printed, said to be short, and not cached" {
    mkexe "$T/a" one
    mkexe "$T/b" two
    path=$T/a:$T/b
    unread_cache
    # Descriptors 0 to 2 and no more. The limit is the binary's own: no
    # ZELTO_WRAP, as valgrind needs more, and neither does a binary that has
    # to load shared libraries start within it.
    status=0
    env -i HOME="$home" PATH="$path" "$BASH" -c 'ulimit -n 3 && exec "$0"' "$ZELTO_BIN" \
        >"$T/out" 2>"$T/err" 3>&- || status=$?
    if [ "$status" -ne 0 ] && ! grep -q '^zelto_path: ' "$T/err"; then
        skip "the binary cannot start without descriptors: $(head -n 1 "$T/err")"
    fi
    expect_said 1 'listing incomplete: a directory could not be read'
    cache_unread

    zp
    expect_lines one two
    cmp "$T/out" "$cache"
}

@test "a read that fails midway is printed, said to be short, not cached, and read again next time" {
    mkexe "$T/a" one
    mkexe "$T/b" two three
    path=$T/a:$T/b
    # What the run prints, and the failure injected: the opening of b (for
    # want of a descriptor, which a dynamic binary cannot be started without
    # above, or of the disk), its second read (after the first gave every
    # entry), the first execute test.
    while IFS='|' read -r listed injection; do
        unread_cache
        zp_strace $injection
        expect_said 1 'listing incomplete: a directory could not be read' $listed
        cache_unread
    done <<-CASES
		one|-P $T/b -e trace=open,openat -e inject=open,openat:error=EMFILE
		one|-P $T/b -e trace=open,openat -e inject=open,openat:error=EIO
		one three two|-P $T/b -e trace=getdents64 -e inject=getdents64:error=EIO:when=2
		three two|-e trace=faccessat,faccessat2 -e inject=faccessat,faccessat2:error=EIO:when=1
	CASES

    zp
    expect_lines one three two
    cmp "$T/out" "$cache"
}

@test "entries far beyond any fixed path length are tested as themselves" {
    # A directory whose path leaves room for only a short prefix of an
    # entry's name within 1024 bytes: a test on the cut text would look at
    # the file named by that prefix instead.
    deep=$T
    while [ "${#deep}" -lt 900 ]; do
        deep=$deep/$(printf 'd%.0s' $(seq 100))
    done
    room=$((1023 - ${#deep} - 1))
    long_exec=$(printf 'e%.0s' $(seq 200))
    long_plain=$(printf 'p%.0s' $(seq 200))
    mkexe "$deep" "$long_exec" "${long_plain:0:room}"
    mkplain "$deep" "$long_plain" "${long_exec:0:room}"
    path=$deep
    zp
    expect_lines "$long_exec" "${long_plain:0:room}"
}
