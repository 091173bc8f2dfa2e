# Sourced by wine_test.sh: Wine's 32-bit half on an x86-64 kernel that cannot execute 32-bit programs.
#
# Such a kernel refuses an i386 ELF ("Exec format error"), and a 64-bit process cannot switch into 32-bit code
# either, so neither Debian's wine32 nor Wine's own WoW64 mode runs there. Wine's 32-bit loader and its preloader
# run instead under qemu-i386 (user-mode emulation, package qemu-user), while wine64 and wineserver stay native.
# Nothing is registered system-wide (no binfmt_misc): the preloader is unpacked from its Debian package, not
# installed. Needs ensure_packages (scripts/ensure_packages.sh) sourced first.

# wine32_under_qemu DIR LAUNCHER: makes DIR/root a private copy of Wine's loader folder whose 32-bit loader runs
# under qemu-i386 and sets wine32 and wine64 to its commands; the prefix must then be made by that wine64, so that
# its 32-bit half is installed through qemu too. LAUNCHER is the 64-bit tarnwick_wait.exe: the wine32 command
# ("wine32 PROGRAM ARGS...", PROGRAM a Unix path) starts each program through it, because the server kills a
# process whose Unix side takes more than about half a second to go away after its last thread, which qemu on a
# busy machine often does, and the shell would see that kill rather than the program's exit code.
# DIR/preloader-VERSION keeps the unpacked preloader between runs; the rest of DIR/root is made afresh. Returns
# nonzero, after saying why, when a part cannot be had.
wine32_under_qemu() {
    local dir=$1 launcher=$2 version preloader tree bin
    if [ ! -f "$launcher" ]; then
        echo "$launcher is missing" >&2
        return 1
    fi
    ensure_packages qemu-user || return 1
    if ! version=$(dpkg-query -W -f='${Version}' wine32:i386 2> /dev/null); then
        echo "wine32:i386 is not installed" >&2
        return 1
    fi
    mkdir -p "$dir" || return 1

    # The preloader reserves Wine's address space up front. Without it, Wine probes for that space with some
    # 130,000 fixed-address mmaps that qemu answers slowly: 45 s per 32-bit process instead of about 1 s. It must
    # come from the same Wine version as the loader.
    preloader=$dir/preloader-$version/usr/lib/wine/wine-preloader.static
    if [ ! -f "$preloader" ]; then
        rm -rf "${dir:?}"/preloader-* "${dir:?}"/wine32-preloader_*.deb
        if ! (cd "$dir" && apt-get download -q "wine32-preloader:i386=$version") > "$dir/download.log" 2>&1 ||
            ! dpkg -x "$dir"/wine32-preloader_*_i386.deb "$dir/preloader-$version" || [ ! -f "$preloader" ]; then
            echo "cannot unpack wine32-preloader:i386 $version: $(tail -3 "$dir/download.log")" >&2
            return 1
        fi
        rm -f "${dir:?}"/wine32-preloader_*.deb
    fi

    # Wine starts each new process as "$(dirname /proc/self/exe)/wine-preloader LOADER ARGS...", and under qemu
    # /proc/self/exe is the emulated ELF. Copies of the ELFs (a link would resolve to Debian's folder) put ours in
    # that folder, next to two scripts that call qemu; the links beside them let Wine find its libraries and data
    # by the same relative paths as from /usr/lib/wine.
    tree=$dir/root
    bin=$tree/usr/lib/wine
    rm -rf "${tree:?}"
    mkdir -p "$bin" "$tree/usr/share" || return 1
    ln -s /usr/lib/i386-linux-gnu "$tree/usr/lib/i386-linux-gnu"
    ln -s /usr/lib/x86_64-linux-gnu "$tree/usr/lib/x86_64-linux-gnu"
    ln -s /usr/share/wine "$tree/usr/share/wine"
    ln -s /usr/lib/wine/wineserver "$bin/wineserver"
    cp /usr/lib/wine/wine "$bin/wine.elf" && cp /usr/lib/wine/wine64 "$bin/wine64" &&
        cp "$preloader" "$bin/wine-preloader.elf" && cp "$launcher" "$bin/tarnwick_wait.exe" || return 1
    cat > "$bin/wine-preloader" << 'EOF'
#!/bin/sh
# Wine's 32-bit preloader and loader under qemu-i386; the loader Wine names in $1 is always wine.elf here.
dir=$(dirname "$0")
shift
exec qemu-i386 -L / "$dir/wine-preloader.elf" "$dir/wine.elf" "$@"
EOF
    cat > "$bin/wine" << 'EOF'
#!/bin/sh
# The 32-bit wine command; WINELOADERNOEXEC=1 stops the loader's own re-exec into its preloader, done here instead.
WINELOADERNOEXEC=1 exec "$(dirname "$0")/wine-preloader" loader "$@"
EOF
    cat > "$bin/wine32" << 'EOF'
#!/bin/sh
# wine32 PROGRAM ARGS...: a 32-bit program started by the 64-bit launcher, which exits with its exit code.
dir=$(dirname "$0")
program=$1
shift
case $program in /*) ;; *) program=$PWD/$program ;; esac
exec "$dir/wine64" "$dir/tarnwick_wait.exe" "Z:$(printf %s "$program" | tr / '\\')" "$@"
EOF
    chmod +x "$bin/wine" "$bin/wine-preloader" "$bin/wine32" || return 1
    wine32=$bin/wine32
    wine64=$bin/wine64
}
