#!/bin/sh
# root_case.sh BATS SUITE NAME: runs the case called NAME, which needs root,
# from the bats file SUITE. Exits 77, which ctest reports as skipped, for
# anyone but root, and where the case skipped itself for want of a tool or
# a mount, after saying why.
bats=$1 suite=$2 name=$3
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: \"$name\" needs root"
    exit 77
fi
pattern=$(printf '%s\n' "$name" | sed 's/[][\.*^$(){}?+|/]/\\&/g')
out=$("$bats" --filter-tags root --filter "^$pattern\$" "$suite")
status=$?
printf '%s\n' "$out"
[ "$status" -eq 0 ] || exit "$status"
printf '%s\n' "$out" | grep -q '^ok ' || {
    echo "no case is called \"$name\""
    exit 1
}
! printf '%s\n' "$out" | grep -q '^ok .* # skip' || exit 77
