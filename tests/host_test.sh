#!/usr/bin/env bash
# The `tarnwick` host end to end against the fixture disks: host_test.sh GROUP TARNWICK PLUGIN, with
# TARNWICK_FIXTURES naming the folder make_disks.sh wrote. Exits 77 (skipped) when a group needs root and the
# run is not root, since the plugin starts only for an administrator.
set -euo pipefail

group=$1 tarnwick=$2 plugin=$3
fixtures=${TARNWICK_FIXTURES:?TARNWICK_FIXTURES names the fixture folder}
main=$fixtures/main.img
trees=$fixtures/trees

if [ "$group" != usage ] && [ "$(id -u)" -ne 0 ]; then
    echo "skipped: the plugin starts only for root"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf -- "${work:?}"' EXIT

fail() { echo "FAIL ($group): $*" >&2; exit 1; }

# run ARGS...: the host on main.img; its output lands in $work/out and $work/err, its exit status in $status.
run() {
    status=0
    "$tarnwick" --plugin "$plugin" --disk "$main" "$@" > "$work/out" 2> "$work/err" || status=$?
}
expect_status() {
    [ "$status" -eq "$1" ] || fail "$2: exit $status, expected $1; stderr: $(cat "$work/err")"
}
expect_err() {
    grep -qF -- "$1" "$work/err" || fail "stderr lacks '$1': $(cat "$work/err")"
}
same_file() { cmp -s "$1" "$2" || fail "$2 differs from $1"; }

# The listing the host should print for a source tree folder: links (all of which resolve in these trees) are shown
# as their targets.
expected_listing() {
    find -L "$1" -mindepth 1 -maxdepth 1 -printf '%y %s %f\n' | sed -e 's/^d [0-9]* /d 0 /' -e 's/^f /- /'
}

case $group in
usage)
    for args in "" "frobnicate" "ls" "ls /a /b" "get /sda1/hello.txt" "get -r /sda1" "get -x /a /b" \
                "get -rf /a" "--plugin" "--disk" "--bogus ls /"; do
        # shellcheck disable=SC2086
        run $args
        expect_status 2 "tarnwick $args"
        [ ! -s "$work/out" ] || fail "tarnwick $args wrote to stdout"
        expect_err "usage: tarnwick"
    done
    ;;

start)
    # Without --plugin the host loads the plugin next to itself.
    status=0
    "$tarnwick" --disk "$main" ls / > "$work/out" 2> "$work/err" || status=$?
    expect_status 0 "ls /"
    [ "$(cat "$work/out")" = "$(printf 'd 0 sda1\nd 0 sda5\nd 0 sda6')" ] || fail "ls / printed: $(cat "$work/out")"

    # --disk is repeatable: the second image is drive sdb.
    run --disk "$main" ls /
    expect_status 0 "ls / of two disks"
    [ "$(cut -d' ' -f3 "$work/out" | tr '\n' ' ')" = "sda1 sda5 sda6 sdb1 sdb5 sdb6 " ] ||
        fail "ls / of two disks printed: $(cat "$work/out")"

    "$tarnwick" --plugin "$work/no_plugin.so" --disk "$main" ls / 2> "$work/err" && fail "a missing plugin loaded"
    expect_err "no_plugin.so"

    # A user who is not root can read this copy of the image, but the plugin still refuses to start.
    chmod 755 "$work"
    cp "$main" "$work/main.img"
    chmod 644 "$work/main.img"
    status=0
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
        "$tarnwick" --plugin "$plugin" --disk "$work/main.img" ls / > "$work/out" 2> "$work/err" || status=$?
    expect_status 1 "ls / as nobody"
    expect_err "FsInit"
    [ ! -s "$work/out" ] || fail "a refused start listed: $(cat "$work/out")"
    ;;

ls_folders)
    for n in 1 5 6; do
        tree=$trees/main$n
        while IFS= read -r folder; do
            remote=/sda$n${folder#"$tree"}
            run ls "$remote"
            expect_status 0 "ls $remote"
            { expected_listing "$folder"; [ "$folder" != "$tree" ] || echo "d 0 lost+found"; } |
                LC_ALL=C sort > "$work/expected"
            diff "$work/expected" <(LC_ALL=C sort "$work/out") > "$work/diff" ||
                fail "ls $remote differs from $folder: $(cat "$work/diff")"
        done < <(find "$tree" -type d)
    done
    run ls /sda1/home/no_such_folder
    expect_status 1 "ls of a missing folder"
    expect_err "no such folder"
    run ls /sda1/hello.txt
    expect_status 1 "ls of a file"

    # The journal disk: volume 1's journal ends at a commit block that fails its checksum, so the plugin logs
    # that not all of it was applied, once, and the host prints that; volume 2's journal is applied in whole.
    for mode in "" --ansi; do
        status=0
        # shellcheck disable=SC2086
        "$tarnwick" --plugin "$plugin" $mode --disk "$fixtures/journal.img" ls /sda1 > "$work/out" 2> "$work/err" ||
            status=$?
        expect_status 0 "ls /sda1 of the journal disk $mode"
        expect_err "tarnwick: error: sda1: the volume was not cleanly unmounted"
        [ "$(grep -c 'not cleanly unmounted' "$work/err")" -eq 1 ] || fail "told more than once: $(cat "$work/err")"
        grep -q ' hello.txt$' "$work/out" || fail "ls /sda1 of the journal disk printed: $(cat "$work/out")"
    done
    status=0
    "$tarnwick" --plugin "$plugin" --disk "$fixtures/journal.img" ls /sda2 > "$work/out" 2> "$work/err" || status=$?
    expect_status 0 "ls /sda2 of the journal disk"
    [ ! -s "$work/err" ] || fail "a volume whose journal was applied in whole logged: $(cat "$work/err")"
    ;;

fields)
    # ls -l: permissions, owner and group as the source tree has them (the fixture volumes hold no etc/passwd, so
    # owners are numbers), through either kind of export; props: the properties block through the request callback.
    tree=$trees/main1
    for mode in "" --ansi; do
        # shellcheck disable=SC2086
        run $mode ls -l /sda1/etc
        expect_status 0 "ls -l /sda1/etc $mode"
        find "$tree/etc" -mindepth 1 -maxdepth 1 -printf '%M %U %G %f\n' | LC_ALL=C sort > "$work/expected"
        diff "$work/expected" <(awk '{print $1, $2, $3, $5}' "$work/out" | LC_ALL=C sort) > "$work/diff" ||
            fail "ls -l /sda1/etc $mode differs: $(cat "$work/diff")"
        # shellcheck disable=SC2086
        run $mode props /sda1/etc/config
        expect_status 0 "props /sda1/etc/config $mode"
        grep -qx "Permissions: $(stat -c %A "$tree/etc/config") (0$(stat -c %a "$tree/etc/config"))" "$work/out" ||
            fail "props printed: $(cat "$work/out")"
        grep -qx "Links: 2" "$work/out" || fail "props of a file with a hard link printed: $(cat "$work/out")"
    done
    run props /sda1
    expect_status 0 "props /sda1"
    grep -qx "File system: ext[234]" "$work/out" || fail "props /sda1 printed: $(cat "$work/out")"
    run props /
    expect_status 0 "props /"
    for n in 1 5 6; do grep -q "^  sda$n: ext" "$work/out" || fail "props / printed: $(cat "$work/out")"; done
    run props /sda1/no_such_file
    expect_status 1 "props of a missing entry"
    ;;

get_file)
    big=/sda5/double_indirect.bin big_source=$trees/main5/double_indirect.bin
    run get "$big" "$work/big"
    expect_status 0 "get $big"
    same_file "$big_source" "$work/big"
    [ ! -s "$work/err" ] || fail "stderr is no terminal but got: $(cat "$work/err")"

    # An existing file is kept without -f and replaced with it.
    echo "keep me" > "$work/big"
    run get "$big" "$work/big"
    expect_status 1 "get onto an existing file"
    expect_err "exists, use -f"
    [ "$(cat "$work/big")" = "keep me" ] || fail "get without -f changed the existing file"
    run get -f "$big" "$work/big"
    expect_status 0 "get -f"
    same_file "$big_source" "$work/big"

    mkdir "$work/into"
    run get /sda1/home/user/docs/notes.txt "$work/into"
    expect_status 0 "get into a folder"
    same_file "$trees/main1/home/user/docs/notes.txt" "$work/into/notes.txt"

    run get /sda1/link_to_notes "$work/link_copy"
    expect_status 0 "get of a link"
    same_file "$trees/main1/home/user/docs/notes.txt" "$work/link_copy"

    for remote in /sda1/missing.txt /sda1/home; do
        run get "$remote" "$work/not_copied"
        expect_status 1 "get $remote"
        expect_err "$remote: not found"
        [ ! -e "$work/not_copied" ] || fail "get $remote left a local file"
    done
    # Paths reach 1023 UTF-16 units through the wide exports, and 259 bytes through the ANSI ones: a name of 255
    # characters one folder down (a remote path of 266) copies to a local path past MAX_PATH, but not with --ansi.
    name=$(printf 'l%.0s' {1..251}).txt
    deep=$work/$(printf 'd%.0s' {1..200})/$(printf 'e%.0s' {1..200})
    mkdir -p "$deep"
    status=0
    "$tarnwick" --plugin "$plugin" --disk "$fixtures/names.img" get "/sda1/long/$name" "$deep" \
        > "$work/out" 2> "$work/err" || status=$?
    expect_status 0 "get of a 266-byte path to a local path of ${#deep} + 256 bytes"
    same_file "$trees/names/long/$name" "$deep/$name"
    status=0
    "$tarnwick" --plugin "$plugin" --disk "$fixtures/names.img" --ansi get "/sda1/long/$name" "$work/ansi" \
        > "$work/out" 2> "$work/err" || status=$?
    expect_status 1 "get --ansi of a 266-byte path"
    expect_err "260 characters or more"
    [ ! -e "$work/ansi" ] || fail "get --ansi of a 266-byte path wrote $work/ansi"
    long=/sda1$(printf '/x%.0s' {1..509})y
    run get "$long" "$work/long"
    expect_status 1 "get of a 1024-byte path"
    expect_err "1024 characters or more"

    # On a terminal the bar is drawn and ends at 100%.
    command=$(printf '%q ' "$tarnwick" --plugin "$plugin" --disk "$main" get "$big" "$work/tty_copy")
    script -qec "$command" /dev/null > "$work/tty" 2>&1 < /dev/null || fail "get on a terminal: $(cat "$work/tty")"
    grep -q '100%' "$work/tty" || fail "no bar reaching 100% on a terminal: $(cat -v "$work/tty")"
    same_file "$big_source" "$work/tty_copy"
    ;;

get_tree)
    for n in 1 5 6; do
        run get -r /sda$n "$work/t$n"
        expect_status 0 "get -r /sda$n"
        # The link comes out as a copy of its target, which is what diff compares it with.
        [ -f "$work/t$n/link_to_notes" ] && [ ! -L "$work/t$n/link_to_notes" ] || fail "link_to_notes not copied"
        diff -r "$trees/main$n" "$work/t$n" > "$work/diff" || true
        [ "$(cat "$work/diff")" = "Only in $work/t$n: lost+found" ] || fail "get -r /sda$n differs: $(cat "$work/diff")"
    done

    # Again without -f: every file exists; a changed one is kept, and -rf puts it back.
    echo changed > "$work/t5/hello.txt"
    run get -r /sda5 "$work/t5"
    expect_status 1 "get -r onto a copy"
    expect_err "exists, use -f"
    [ "$(cat "$work/t5/hello.txt")" = changed ] || fail "get -r without -f changed a file"
    run get -rf /sda5 "$work/t5"
    expect_status 0 "get -rf onto a copy"
    same_file "$trees/main5/hello.txt" "$work/t5/hello.txt"

    run get -r /sda6/home/user/ "$work/user"
    expect_status 0 "get -r of a subfolder"
    diff -r "$trees/main6/home/user" "$work/user" > "$work/diff" || fail "get -r of a subfolder: $(cat "$work/diff")"

    # A local path of 1024 bytes or more fails that entry alone: /config fits below the limit, /config.hardlink not.
    padded=$work
    while [ $(( ${#padded} + 201 )) -le 1010 ]; do padded=$padded/$(printf 'p%.0s' {1..200}); done
    padded=$padded/$(printf 'p%.0s' $(seq $(( 1010 - ${#padded} - 1 ))))
    run get -r /sda1/etc "$padded"
    expect_status 1 "get -r with an over-long local path"
    expect_err "1024 characters or more"
    same_file "$trees/main1/etc/config" "$padded/config"
    [ ! -e "$padded/config.hardlink" ] || fail "an over-long local path was written"

    run get -r /sdz1 "$work/none"
    expect_status 1 "get -r of a missing partition"
    [ ! -e "$work/none" ] || fail "get -r of a missing folder left $work/none"
    ;;

*)
    fail "unknown group"
    ;;
esac
echo "host $group: passed"
