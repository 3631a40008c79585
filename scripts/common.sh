# Shared by scripts/run and scripts/test: install what is missing, then build.
# Safe to run again and again: it installs nothing that is already there and
# rebuilds only what changed.

set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${JOBS:-2}"

BUILD_PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev libcurl4-openssl-dev ca-certificates
                libgumbo-dev libcpp-httplib-dev
                fonts-noto-cjk libssl3 libssl-dev libsqlite3-dev libsecret-1-dev zlib1g-dev)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_packages() {
    local missing=()
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        as_root apt-get update -q
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

# build <dir> <cmake options...>
build() {
    local dir="$1"; shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j "$JOBS"
}
