# Shared by the scripts: paths, dependency installation and the Wine session.
# Sourced, not run.

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD="$REPO/build"
export WINEPREFIX="${WINEPREFIX:-$BUILD/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Trees with tests: the lab flavour of both architectures and the native build
# of the portable logic.
TEST_PRESETS=(lab-x64 lab-x86 native)
ALL_PRESETS=(lab-x64 lab-x86 release-x64 release-x86 native)

log() { printf '== %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Debian packages the build and the test bed need.
DEB_PACKAGES=(
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64 wine32:i386 xvfb xauth
  libboost1.81-dev libboost-json1.81-dev googletest
  cmake ninja-build clang
)

missing_packages() {
  local p
  for p in "${DEB_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

ensure_packages() {
  local missing
  missing=$(missing_packages)
  [ -z "$missing" ] && return 0
  log "installing: $(echo $missing)"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
  as_root apt-get update -qq
  # shellcheck disable=SC2086
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

# 32-bit Wine needs the machine to run 32-bit Linux programs. Where the kernel
# cannot (some virtual machines), qemu's user-mode emulator runs them through
# binfmt_misc. Bookworm's qemu 7.2 spends ~40 s reserving Wine's address space at
# every process start; the backported qemu 10 takes a fraction of a second.
ensure_i386_exec() {
  [ -x /usr/lib/wine/wine ] || return 0
  /usr/lib/wine/wine --version >/dev/null 2>&1 && return 0
  log "this kernel does not run 32-bit programs; using qemu-i386 through binfmt_misc"
  local qemu_ver
  qemu_ver=$(/usr/bin/qemu-i386 --version 2>/dev/null | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
  if [ -z "$qemu_ver" ] || [ "$qemu_ver" -lt 8 ]; then
    if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      echo 'deb http://deb.debian.org/debian bookworm-backports main' |
        as_root tee /etc/apt/sources.list.d/orvi-backports.list >/dev/null
    fi
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      -t bookworm-backports qemu-user-static >/dev/null
  fi
  local misc=/proc/sys/fs/binfmt_misc
  [ -e "$misc/register" ] || as_root mount -t binfmt_misc binfmt_misc "$misc"
  [ -e "$misc/qemu-i386" ] && echo -1 | as_root tee "$misc/qemu-i386" >/dev/null
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' |
    as_root tee "$misc/register" >/dev/null
  /usr/lib/wine/wine --version >/dev/null 2>&1 || die "32-bit programs still do not run (qemu-i386 via binfmt_misc)"
}

ensure_deps() {
  ensure_packages
  ensure_i386_exec
}

build_presets() {
  local p
  cd "$REPO"
  for p in "$@"; do
    if [ ! -f "$BUILD/$p/build.ninja" ]; then
      log "configure $p"
      cmake --preset "$p" >/dev/null
    fi
    log "build $p"
    cmake --build --preset "$p" -- -k 0 >"$BUILD/$p.build.log" 2>&1 || {
      tail -n 60 "$BUILD/$p.build.log" >&2
      die "build of $p failed (full log: $BUILD/$p.build.log)"
    }
  done
}

# --- Wine session: Xvfb, a booted prefix and a persistent wineserver ---------

XVFB_PID=
wine_session_start() {
  local d
  for d in $(seq 91 140); do
    [ -e "/tmp/.X$d-lock" ] || [ -e "/tmp/.X11-unix/X$d" ] || break
  done
  Xvfb ":$d" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$d"
  local i
  for i in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$d" ] && break; sleep 0.1; done
  trap wine_session_stop EXIT INT TERM
  wine_prefix_boot
  wineserver -p </dev/null >/dev/null 2>&1
  # The first program of a session starts Wine's own services (services.exe,
  # plugplay, the desktop ...), and they inherit its output. Start them here,
  # detached, or CTest would wait for a pipe they keep open until the run ends.
  wine reg query 'HKCU\Software' </dev/null >/dev/null 2>&1 || true
}

wine_prefix_boot() {
  local stamp="$WINEPREFIX/.orvi-booted"
  [ -f "$stamp" ] && return 0
  log "booting Wine prefix $WINEPREFIX (once per build tree)"
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || die "wineboot failed"
  # A crashing test must end with a message, not wait at a crash dialog.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wineserver -w
  touch "$stamp"
}

wine_session_stop() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=
  fi
}
