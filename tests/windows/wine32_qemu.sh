# Sourced by wine_test.sh: Wine's 32-bit half on an x86-64 kernel that cannot execute 32-bit programs.
#
# Such a kernel refuses an i386 ELF ("Exec format error"), and a 64-bit process cannot switch into 32-bit code
# either, so neither Debian's wine32 nor Wine's own WoW64 mode runs there. Wine's 32-bit loader and its preloader
# run instead under qemu-i386 (user-mode emulation, package qemu-user), while wine64 and wineserver stay native.
# Nothing is registered system-wide (no binfmt_misc): the preloader is unpacked from its Debian package, not
# installed. Needs ensure_packages (scripts/ensure_packages.sh) sourced first.

# unpack_i386 DEST PACKAGE=VERSION...: downloads the i386 packages (no dependency resolution, nothing installed) and
# unpacks them into DEST, which is made afresh; DEST/download.log keeps apt-get's words. Nonzero, after saying
# why on one line, when a package cannot be had.
unpack_i386() {
    local dest=$1 deb
    shift
    rm -rf "${dest:?}"
    mkdir -p "$dest/debs" || return 1
    if ! (cd "$dest/debs" && apt-get download -q "$@") > "$dest/download.log" 2>&1; then
        echo "cannot download $*: $(grep -E '^(E|W):' "$dest/download.log" | tr '\n' ' ' | cut -c 1-300)" >&2
        return 1
    fi
    for deb in "$dest"/debs/*.deb; do
        dpkg -x "$deb" "$dest/root" || { echo "cannot unpack $deb" >&2; return 1; }
    done
    rm -rf "${dest:?}/debs"
}

# builtin_zlib ROOT: what libwine's installation script does for an unpacked i386 tree: the MinGW zlib1.dll,
# marked as a Wine builtin DLL, among Wine's i386 DLLs (user32.dll needs it).
builtin_zlib() {
    local in=$1/usr/i686-w64-mingw32/lib/zlib1.dll out=$1/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll
    [ -f "$in" ] || { echo "zlib1.dll is missing from libz-mingw-w64" >&2; return 1; }
    { head -c 64 "$in"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$in"; } > "$out"
}

# wine32_under_qemu DIR LAUNCHER: makes DIR/root a private copy of Wine's loader folder whose 32-bit loader runs
# under qemu-i386 and sets wine32 and wine64 to its commands; the prefix must then be made by that wine64, so that
# its 32-bit half is installed through qemu too. LAUNCHER is the 64-bit tarnwick_wait.exe: the wine32 command
# ("wine32 PROGRAM ARGS...", PROGRAM a Unix path) starts each program through it, because the server kills a
# process whose Unix side takes more than about half a second to go away after its last thread, which qemu on a
# busy machine often does, and the shell would see that kill rather than the program's exit code.
# The 32-bit half comes from the system where wine32:i386 is installed (and TARNWICK_WINE32_PRIVATE is not 1);
# otherwise Wine's i386 packages of the installed wine64's version, with the C library they need, are downloaded
# and unpacked into DIR/i386-VERSION and qemu takes that folder as the 32-bit programs' root: installing wine32:i386
# system-wide needs i386 package lists that match the installed 64-bit libraries, which a mirror mid-sync may not
# give. DIR/preloader-VERSION and DIR/i386-VERSION are kept between runs; the rest of DIR/root is made afresh.
# Returns nonzero, after saying why, when a part cannot be had.
wine32_under_qemu() {
    local dir=$1 launcher=$2 version preloader tree bin sysroot=/ i386_root
    if [ ! -f "$launcher" ]; then
        echo "$launcher is missing" >&2
        return 1
    fi
    ensure_packages qemu-user || return 1
    mkdir -p "$dir" || return 1
    if [ "${TARNWICK_WINE32_PRIVATE:-0}" != 1 ] && version=$(dpkg-query -W -f='${Version}' wine32:i386 2> /dev/null) &&
        [ -x /usr/lib/wine/wine ]; then
        # The preloader reserves Wine's address space up front. Without it, Wine probes for that space with some
        # 130,000 fixed-address mmaps that qemu answers slowly: 45 s per 32-bit process instead of about 1 s. It
        # must come from the same Wine version as the loader.
        preloader=$dir/preloader-$version/root/usr/lib/wine/wine-preloader.static
        if [ ! -f "$preloader" ]; then
            rm -rf "${dir:?}"/preloader-*
            unpack_i386 "$dir/preloader-$version" "wine32-preloader:i386=$version" || return 1
        fi
    else
        if ! version=$(dpkg-query -W -f='${Version}' wine64 2> /dev/null); then
            echo "wine64 is not installed" >&2
            return 1
        fi
        sysroot=$dir/i386-$version/root
        preloader=$sysroot/usr/lib/wine/wine-preloader.static
        if [ ! -f "$preloader" ] || [ ! -x "$sysroot/usr/lib/wine/wine" ] ||
            [ ! -f "$sysroot/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll" ]; then
            unpack_i386 "$dir/i386-$version" "wine32:i386=$version" "libwine:i386=$version" \
                "wine32-preloader:i386=$version" libc6:i386 libgcc-s1:i386 libz-mingw-w64 || return 1
            builtin_zlib "$sysroot" || return 1
        fi
        echo "32-bit Wine $version from packages unpacked into $dir/i386-$version"
    fi
    i386_root=${sysroot%/}

    # Wine starts each new process as "$(dirname /proc/self/exe)/wine-preloader LOADER ARGS...", and under qemu
    # /proc/self/exe is the emulated ELF. Copies of the ELFs (a link would resolve to Debian's folder) put ours in
    # that folder, next to two scripts that call qemu; the links beside them let Wine find its libraries and data
    # by the same relative paths as from /usr/lib/wine.
    tree=$dir/root
    bin=$tree/usr/lib/wine
    rm -rf "${tree:?}"
    mkdir -p "$bin" "$tree/usr/share" || return 1
    ln -s "$i386_root/usr/lib/i386-linux-gnu" "$tree/usr/lib/i386-linux-gnu"
    ln -s /usr/lib/x86_64-linux-gnu "$tree/usr/lib/x86_64-linux-gnu"
    ln -s /usr/share/wine "$tree/usr/share/wine"
    ln -s /usr/lib/wine/wineserver "$bin/wineserver"
    cp "$i386_root/usr/lib/wine/wine" "$bin/wine.elf" && cp /usr/lib/wine/wine64 "$bin/wine64" &&
        cp "$preloader" "$bin/wine-preloader.elf" && cp "$launcher" "$bin/tarnwick_wait.exe" || return 1
    cat > "$bin/wine-preloader" << EOF
#!/bin/sh
# Wine's 32-bit preloader and loader under qemu-i386, which finds the programs' C library under the root it is
# given; the loader Wine names in \$1 is always wine.elf here.
dir=\$(dirname "\$0")
shift
exec qemu-i386 -L "$sysroot" "\$dir/wine-preloader.elf" "\$dir/wine.elf" "\$@"
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
