#!/usr/bin/env bash
# Installs everything the build and the tests need, and builds the libraries
# that Debian does not ship for our targets into ignored prefixes:
#
#   .deps/native    ada (static) for the Linux build; everything else there
#                   comes from Debian's -dev packages
#   .deps/windows   libsodium, libzip (against the mingw zlib), GoogleTest and
#                   ada, all static and built with mingw-w64, plus nlohmann-json's
#                   headers and CMake package made visible to the cross build
#
# Libraries are built from Debian's source packages, unpacked with dpkg-source
# so that Debian's patches (security fixes included) are applied. The deb-src
# entries are derived at run time from this machine's own apt sources into a
# private apt configuration under .deps/apt; the system's apt files are never
# changed.
#
# Usage: scripts/bootstrap.sh [native] [windows]      (default: both)
# Safe to run again: finished steps are skipped, so a repeated run takes about
# a second. A step is redone when its source version or its build options
# change; `rm -rf .deps` starts from scratch.
set -euo pipefail

ROOT=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
DEPS="$ROOT/.deps"
APT_DIR="$DEPS/apt"
SRC_DIR="$DEPS/src"
BUILD_DIR="$DEPS/build"
STAMP_DIR="$DEPS/stamps"
NATIVE_PREFIX="$DEPS/native"
WINDOWS_PREFIX="$DEPS/windows"
TOOLCHAIN="$ROOT/cmake/mingw-w64-x86_64.cmake"
MINGW=x86_64-w64-mingw32
JOBS=${JOBS:-$(nproc)}

APT_PACKAGES=(
  # build tools
  cmake ninja-build make g++ pkgconf python3 dpkg-dev file xxd openssl
  # libsodium's Debian source has no generated configure script
  autoconf automake libtool
  # native libraries
  nlohmann-json3-dev zlib1g-dev libzip-dev libsodium-dev libssl-dev googletest libgtest-dev
  # the client library's HTTPS transport natively
  libcurl4-openssl-dev
  # Windows cross toolchain and the mingw zlib
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev libz-mingw-w64-dev
  # running and signing the Windows build in tests
  wine wine64 xvfb xauth osslsigncode
  # the native progress window (GTK 3), and looking at windows in tests: X
  # window tools, xwd screenshots converted by ImageMagick
  libgtk-3-dev x11-utils x11-apps xdotool imagemagick
  # archives made by other tools in the extraction tests, and the archivers
  # and the timer of the benchmarks
  zip unzip p7zip-full libarchive-tools time
  # the flush tests follow the activation's system calls
  strace
  # the fuzz targets (scripts/fuzz.sh): clang with libFuzzer and the
  # sanitizer runtimes
  clang-16 libfuzzer-16-dev libclang-rt-16-dev
)

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'bootstrap: %s\n' "$*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# --- 1. Debian packages ------------------------------------------------------

install_packages() {
  local status missing=()
  status=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${APT_PACKAGES[@]}" 2>/dev/null || true)
  local p
  for p in "${APT_PACKAGES[@]}"; do
    grep -qx "$p installed" <<<"$status" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# --- 2. Private apt configuration with deb-src entries -----------------------

# The deb-src entries mirror the machine's own "deb" entries (deb822 files in
# sources.list.d and one-line entries in sources.list and *.list), so that no
# package host is written into the repository.
write_source_entries() {
  mkdir -p "$APT_DIR/etc/sources.list.d" "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial"
  python3 - "$APT_DIR/etc" <<'PY'
import glob, os, re, sys

out_dir = sys.argv[1]
one_line, deb822 = [], []

def deb822_stanzas(text):
    for block in re.split(r'\n[ \t]*\n', text):
        fields, last = {}, None
        for line in block.splitlines():
            if not line.strip() or line.startswith('#'):
                continue
            if line[0] in ' \t' and last:
                fields[last] += '\n' + line
                continue
            key, _, value = line.partition(':')
            last = key.strip()
            fields[last] = value.strip()
        if fields:
            yield fields

for path in sorted(glob.glob('/etc/apt/sources.list.d/*.sources')):
    with open(path) as f:
        for fields in deb822_stanzas(f.read()):
            if fields.get('Enabled', 'yes').strip().lower() == 'no':
                continue
            if 'deb' not in fields.get('Types', '').split():
                continue
            fields['Types'] = 'deb-src'
            deb822.append('\n'.join(f'{k}: {v}' for k, v in fields.items()))

for path in ['/etc/apt/sources.list'] + sorted(glob.glob('/etc/apt/sources.list.d/*.list')):
    if not os.path.exists(path):
        continue
    with open(path) as f:
        for line in f:
            line = line.split('#', 1)[0].strip()
            if line.startswith('deb '):
                one_line.append('deb-src ' + line[4:])

with open(os.path.join(out_dir, 'sources.list'), 'w') as f:
    f.write(''.join(l + '\n' for l in one_line))
with open(os.path.join(out_dir, 'sources.list.d', 'deb-src.sources'), 'w') as f:
    f.write('\n\n'.join(deb822) + ('\n' if deb822 else ''))
if not one_line and not deb822:
    sys.exit('no enabled "deb" entry in the apt sources of this machine')
PY
}

APT_OPTIONS=()
apt_private_setup() {
  [ ${#APT_OPTIONS[@]} -gt 0 ] && return 0
  write_source_entries
  APT_OPTIONS=(
    -o "Dir::Etc::SourceList=$APT_DIR/etc/sources.list"
    -o "Dir::Etc::SourceParts=$APT_DIR/etc/sources.list.d"
    -o "Dir::State::Lists=$APT_DIR/lists"
    -o "Dir::Cache=$APT_DIR/cache"
  )
  # apt drops to its own user for downloads, which cannot write into a
  # checkout under root's home.
  if [ "$(id -u)" -eq 0 ]; then APT_OPTIONS+=(-o "APT::Sandbox::User=root"); fi
  log "updating the source package lists (private apt configuration in .deps/apt)"
  # A failing entry (a third-party repository without sources) is not fatal:
  # what matters is whether the packages below can be fetched.
  apt-get -q "${APT_OPTIONS[@]}" update >"$APT_DIR/update.log" 2>&1 \
    || log "apt-get update reported errors (see .deps/apt/update.log); continuing"
}

# Versions of source package $1 known to the private lists, newest first.
source_versions() {
  apt-cache "${APT_OPTIONS[@]}" showsrc "$1" 2>/dev/null \
    | awk -v pkg="$1" '/^Package: /{p=$2} /^Version: /{if (p==pkg) print $2}' \
    | sort -u | sort -r -V
}

# fetch_source PACKAGE [PREFERRED_VERSION]
# Downloads the source package into .deps/src/PACKAGE/VERSION and unpacks it
# there with dpkg-source into "tree"; sets SOURCE_DIR to that directory. Tries
# PREFERRED_VERSION first, then the known versions newest first (a mirror may
# lack the files of one of them). The choice is remembered in
# .deps/src/PACKAGE/selected, so a later run reuses it without apt.
SOURCE_DIR=
fetch_source() {
  local pkg=$1 preferred=${2:-} version dir selected="$SRC_DIR/$1/selected"
  if [ -f "$selected" ]; then
    local chosen wanted
    { read -r chosen; read -r wanted; } <"$selected" || true
    if [ "$wanted" = "$preferred" ] && [ -f "$SRC_DIR/$pkg/$chosen/unpacked.stamp" ]; then
      SOURCE_DIR="$SRC_DIR/$pkg/$chosen"
      return 0
    fi
  fi
  apt_private_setup
  local candidates=()
  [ -n "$preferred" ] && candidates+=("$preferred")
  while read -r version; do
    [ -n "$version" ] && [ "$version" != "$preferred" ] && candidates+=("$version")
  done < <(source_versions "$pkg")
  [ ${#candidates[@]} -gt 0 ] || die "no source package $pkg in the apt sources"
  for version in "${candidates[@]}"; do
    dir="$SRC_DIR/$pkg/$version"
    rm -rf "$dir"
    mkdir -p "$dir"
    log "downloading source package $pkg $version"
    if (cd "$dir" && apt-get -q "${APT_OPTIONS[@]}" source --download-only "$pkg=$version") >"$dir/download.log" 2>&1; then
      log "unpacking $pkg $version with dpkg-source"
      (cd "$dir" && dpkg-source -x ./*.dsc tree) >"$dir/unpack.log" 2>&1 \
        || die "dpkg-source failed for $pkg $version (see $dir/unpack.log)"
      touch "$dir/unpacked.stamp"
      printf '%s\n%s\n' "$version" "$preferred" >"$selected"
      SOURCE_DIR=$dir
      return 0
    fi
    log "source package $pkg $version could not be downloaded (see $dir/download.log)"
    rm -rf "$dir"/*.tar.* "$dir"/*.dsc
  done
  die "no version of source package $pkg could be downloaded"
}

# Version of the source package of an installed binary package.
installed_source_version() {
  dpkg-query -W -f='${source:Version}' "$1"
}

# --- 3. Builds -----------------------------------------------------------------

# up_to_date NAME RECIPE: true when NAME was built with exactly RECIPE (the
# source version and the options). Paths in it are taken relative to the
# checkout, so that moving the checkout does not force a rebuild.
up_to_date() {
  [ -f "$STAMP_DIR/$1" ] && [ "$(cat "$STAMP_DIR/$1")" = "${2//$ROOT\//}" ]
}
mark_done() {
  mkdir -p "$STAMP_DIR"
  printf '%s' "${2//$ROOT\//}" >"$STAMP_DIR/$1"
}

# cmake_build NAME SOURCE PREFIX [CMAKE ARGS...]: configure, build, install.
cmake_build() {
  local name=$1 source=$2 prefix=$3
  shift 3
  local build="$BUILD_DIR/$name"
  rm -rf "$build"
  mkdir -p "$BUILD_DIR"
  log "building $name"
  {
    cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib "$@" &&
      cmake --build "$build" -j "$JOBS" &&
      cmake --install "$build"
  } >"$build.log" 2>&1 || { tail -n 40 "$build.log" >&2; die "building $name failed (see $build.log)"; }
  rm -rf "$build"
}

ADA_OPTIONS=(-DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DADA_TESTING=OFF -DADA_TOOLS=OFF -DADA_BENCHMARKS=OFF)

# ada is not packaged for this Debian release; Debian's nodejs source package
# carries it as its "ada" component, unpacked by dpkg-source into ada/.
ada_source() {
  fetch_source nodejs
  [ -f "$SOURCE_DIR/tree/ada/CMakeLists.txt" ] || die "the nodejs source package has no ada component"
  SOURCE_DIR="$SOURCE_DIR/tree/ada"
}

build_ada() { # TARGET PREFIX [CMAKE ARGS...]
  local target=$1 prefix=$2
  shift 2
  local source recipe
  ada_source
  source=$SOURCE_DIR
  recipe="$source ${ADA_OPTIONS[*]} $*"
  up_to_date "ada-$target" "$recipe" && return 0
  cmake_build "ada-$target" "$source" "$prefix" "${ADA_OPTIONS[@]}" "$@"
  mark_done "ada-$target" "$recipe"
}

build_native() {
  build_ada native "$NATIVE_PREFIX" -DCMAKE_POSITION_INDEPENDENT_CODE=ON
}

build_windows_sodium() {
  local dir version recipe source build
  version=$(installed_source_version libsodium-dev)
  fetch_source libsodium "$version"
  dir=$SOURCE_DIR
  recipe="$dir --host=$MINGW --disable-shared --enable-static --disable-ssp --with-pic=no"
  up_to_date sodium-windows "$recipe" && return 0
  source="$dir/tree"
  build="$BUILD_DIR/sodium-windows"
  rm -rf "$build"
  mkdir -p "$build"
  log "building libsodium for Windows"
  (
    if [ ! -x "$source/configure" ]; then (cd "$source" && autoreconf -fi); fi &&
      cd "$build" &&
      "$source/configure" --host=$MINGW --prefix="$WINDOWS_PREFIX" --disable-shared --enable-static \
        --disable-ssp --with-pic=no CC=$MINGW-gcc-posix &&
      make -j "$JOBS" &&
      make install
  ) >"$build.log" 2>&1 || { tail -n 40 "$build.log" >&2; die "building libsodium failed (see $build.log)"; }
  rm -rf "$build"
  mark_done sodium-windows "$recipe"
}

ZIP_OPTIONS=(-DBUILD_SHARED_LIBS=OFF -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
  -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF
  -DENABLE_WINDOWS_CRYPTO=OFF -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF)

build_windows_zip() {
  local dir version recipe
  version=$(installed_source_version libzip-dev)
  fetch_source libzip "$version"
  dir=$SOURCE_DIR
  recipe="$dir ${ZIP_OPTIONS[*]}"
  up_to_date zip-windows "$recipe" && return 0
  cmake_build zip-windows "$dir/tree" "$WINDOWS_PREFIX" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" "${ZIP_OPTIONS[@]}"
  mark_done zip-windows "$recipe"
}

GTEST_OPTIONS=(-DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON)

# GoogleTest as Debian ships its sources in /usr/src/googletest.
build_windows_gtest() {
  local recipe
  recipe="googletest $(dpkg-query -W -f='${Version}' googletest) ${GTEST_OPTIONS[*]}"
  up_to_date gtest-windows "$recipe" && return 0
  cmake_build gtest-windows /usr/src/googletest "$WINDOWS_PREFIX" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    "${GTEST_OPTIONS[@]}"
  mark_done gtest-windows "$recipe"
}

# nlohmann-json is header-only: link Debian's headers and CMake package into
# the Windows prefix (and nothing else of /usr/include).
link_windows_json() {
  mkdir -p "$WINDOWS_PREFIX/include" "$WINDOWS_PREFIX/share/cmake/nlohmann_json"
  ln -sfn /usr/include/nlohmann "$WINDOWS_PREFIX/include/nlohmann"
  local f
  for f in /usr/share/cmake/nlohmann_json/*.cmake; do
    ln -sfn "$f" "$WINDOWS_PREFIX/share/cmake/nlohmann_json/$(basename "$f")"
  done
}

build_windows() {
  link_windows_json
  build_windows_sodium
  build_windows_zip
  build_windows_gtest
  build_ada windows "$WINDOWS_PREFIX" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN"
}

main() {
  local targets=("$@")
  [ ${#targets[@]} -gt 0 ] || targets=(native windows)
  install_packages
  local t
  for t in "${targets[@]}"; do
    case $t in
      native) build_native ;;
      windows) build_windows ;;
      *) die "unknown target $t (expected native or windows)" ;;
    esac
  done
}

main "$@"
