# Shared by the scripts in scripts/windows: where the Windows build lives, the cross tools and
# the private apt configuration that fetches Debian's source packages.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

WIN="${QUILLMERE_WIN_BUILD:-$ROOT/build-win}"
WIN_BUILD="$WIN/quillmere"      # the program and its tests
WIN_PREFIX="$WIN/prefix"         # gumbo, zlib, SQLite, libcurl, OpenSSL (tests), cpp-httplib (tests)
WIN_QT="$WIN/qt6-win"            # Qt for Windows
WIN_SHARED="$(cd "$ROOT/.." && pwd)/shared/windows"
HOST=x86_64-w64-mingw32
WINE=/usr/lib/wine/wine64
MINGW_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
                cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools dpkg-dev make perl tcl
                xz-utils)
WINE_PACKAGES=(wine64 wine locales fonts-noto-cjk)

# Wine's own state stays in the build folder, away from the user's ~/.wine; zh_CN.UTF-8 gives
# it code page 936 as on a Chinese Windows.
wine_env() {
    export WINEPREFIX="$WIN/wineprefix"
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
    export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
}

ensure_chinese_locale() {
    if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
        echo "== generating the zh_CN.UTF-8 locale (Wine takes code page 936 from it)"
        if [ -f /etc/locale.gen ] && grep -q '^# *zh_CN.UTF-8 UTF-8' /etc/locale.gen; then
            as_root sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
        elif ! grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
            echo 'zh_CN.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
        fi
        as_root locale-gen >/dev/null
    fi
}

# Starts the Wine prefix once (the first start takes a while) and waits for its server to end.
wine_ready() {
    wine_env
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== creating the Wine prefix in $WINEPREFIX"
        "$WINE" wineboot --init >/dev/null 2>&1 || true
    fi
    wineserver -w 2>/dev/null || /usr/lib/wine/wineserver -w 2>/dev/null || true
}

# A private apt configuration: the system's sources as deb-src, lists kept in the build folder.
# The system's own apt configuration is never touched.
APT_DIR="$WIN/apt"
apt_src() {
    apt-get -o Dir::Etc::sourcelist="$APT_DIR/sources.list" \
        -o Dir::Etc::sourceparts="$APT_DIR/sources.list.d" -o Dir::State::Lists="$APT_DIR/lists" \
        -o Dir::Cache="$APT_DIR/cache" -o Debug::NoLocking=1 "$@"
}

apt_src_update() {
    mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial" "$APT_DIR/sources.list.d"
    # Refreshed once a day: versions change only with Debian's point releases and security updates.
    if [ -n "$(find "$APT_DIR/lists" -maxdepth 1 -name '*Sources*' -mtime -1 2>/dev/null)" ]; then
        return
    fi
    sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list 2>/dev/null >"$APT_DIR/sources.list" || true
    rm -f "$APT_DIR/sources.list.d/"*
    # A stanza that names its snapshot of Debian's archive in a comment gets that snapshot as a
    # second address: mirrors do not always keep every source package of the release.
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '/^Types: *deb *$/ { print "Types: deb-src"; next }
             /^# *https?:\/\/snapshot\.debian\.org\// { snap = $2; next }
             /^URIs:/ { uris = $0; next }
             /^$/ { flush(); print; next }
             { print }
             END { flush() }
             function flush() {
                 if (uris != "") print uris (snap != "" ? " " snap : "")
                 if (snap != "") print "Check-Valid-Until: no"
                 uris = ""; snap = ""
             }' "$f" >"$APT_DIR/sources.list.d/$(basename "$f")"
    done
    echo "== reading Debian's source package lists (private apt configuration in $APT_DIR)"
    apt_src -qq update
}


# The sources of Debian's next release, for a package whose own release's source the archive
# no longer serves: its upstream tarball alone (apt-get source --tar-only).
declare -A NEXT_RELEASE=([bookworm]=trixie [trixie]=forky)
apt_src_next() {
    apt-get -o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$APT_DIR/next.d" \
        -o Dir::State::Lists="$APT_DIR/next-lists" -o Dir::Cache="$APT_DIR/cache" \
        -o Debug::NoLocking=1 "$@"
}

next_release_lists() {
    local codename next
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    next="${NEXT_RELEASE[$codename]:-}"
    [ -n "$next" ] || return 1
    mkdir -p "$APT_DIR/next.d" "$APT_DIR/next-lists/partial"
    if [ -z "$(find "$APT_DIR/next-lists" -maxdepth 1 -name '*Sources*' -mtime -1 2>/dev/null)" ]; then
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$next" >"$APT_DIR/next.d/next.sources"
        apt_src_next -qq update
    fi
}

# The versions of source package $1 newest first: the release's, or with "next" the next
# release's.
source_versions() {
    if [ "${2:-}" = next ]; then
        next_release_lists || return 0
        apt-cache -o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$APT_DIR/next.d" \
            -o Dir::State::Lists="$APT_DIR/next-lists" showsrc "$1" 2>/dev/null
    else
        apt-cache -o Dir::Etc::sourcelist="$APT_DIR/sources.list" \
            -o Dir::Etc::sourceparts="$APT_DIR/sources.list.d" -o Dir::State::Lists="$APT_DIR/lists" \
            showsrc "$1" 2>/dev/null
    fi | awk -v p="$1" '/^Package: / { ok = ($2 == p) } ok && /^Version: / { print $2 }' |
        sort -u | sort -r -V
}

# A Linux path as Wine's Z: drive sees it.
winpath() { echo "Z:${1//\//\\}"; }

# Wine's PATH for running programs from the build: Qt's DLLs, libcurl's and MinGW's runtime.
wine_dll_path() {
    local runtime_dir
    runtime_dir="$(dirname "$("$HOST-gcc-posix" -print-libgcc-file-name)")"
    echo "$(winpath "$WIN_QT/bin");$(winpath "$WIN_PREFIX/bin");$(winpath "$runtime_dir");$(winpath "/usr/$HOST/lib")"
}
