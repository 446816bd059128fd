#!/usr/bin/env bash
# Builds what the Windows cross build links against into a sysroot of its build tree:
#   scripts/build-windows-deps.sh <sysroot>
# - libcurl from Debian's own curl source package: static, HTTP and HTTPS through Windows'
#   own TLS (Schannel), so it needs no DLL that Windows does not ship and trusts what Windows
#   trusts (no compression, IDN, LDAP, SSH, PSL or GSSAPI);
# - GoogleTest from /usr/src/googletest (Debian's googletest package);
# - nlohmann json, copied from Debian's package, and cpp-httplib's single header from
#   Debian's source package (the binary package ships a split header and a Linux library),
#   so that /usr/include never enters the Windows include path.
# Each part is skipped when the sysroot already has it.
set -euo pipefail
cd "$(dirname "$0")/.."

sysroot=$(realpath -m "$1")
toolchain=$PWD/cmake/mingw-w64-x86_64.cmake
work=$sysroot-work
jobs=$(nproc)
mkdir -p "$sysroot" "$work"

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# Configures, builds and installs one library into the sysroot; its compiler output goes to
# <build>.log, which is shown only when a step fails.
cross_cmake() {  # cross_cmake <source> <build> [options...]
  local source=$1 build=$2
  shift 2
  if ! { cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
           -DFENNICK_WINDOWS_SYSROOT="$sysroot" -DCMAKE_INSTALL_PREFIX="$sysroot" \
           -DCMAKE_BUILD_TYPE=Release "$@" &&
         cmake --build "$build" -j"$jobs" &&
         cmake --install "$build"; } >"$build.log" 2>&1; then
    cat "$build.log" >&2
    return 1
  fi
}

# apt-get source needs a deb-src entry. When the machine has none, one is added for each
# existing source, with the same URIs, suites and keyring: no address is written here.
ensure_source_entries() {
  if apt-get source --print-uris curl >/dev/null 2>&1; then
    return
  fi
  local entries=/etc/apt/sources.list.d/fennick-deb-src
  # deb822 stanzas: each copied with its Types changed, a blank line after each file.
  for file in /etc/apt/sources.list.d/*.sources; do
    if [ -f "$file" ] && [ "$file" != "$entries.sources" ]; then
      sed -E 's/^Types:.*/Types: deb-src/' "$file"
      echo
    fi
  done | "${sudo_cmd[@]}" tee "$entries.sources" >/dev/null
  if [ -f /etc/apt/sources.list ]; then
    sed -nE 's/^deb[[:space:]]/deb-src /p' /etc/apt/sources.list | "${sudo_cmd[@]}" tee "$entries.list" >/dev/null
  fi
  # Runs inside fetch_source's $(...): anything on standard output would be taken for the
  # source folder.
  "${sudo_cmd[@]}" apt-get update -qq >&2
}

# Unpacks Debian's source package <package> into $work/<package> and prints its folder.
fetch_source() {
  local package=$1
  ensure_source_entries
  rm -rf "${work:?}/$package"
  mkdir -p "$work/$package"
  if ! (cd "$work/$package" && apt-get source -qq "$package" >"$work/$package.log" 2>&1); then
    cat "$work/$package.log" >&2
    echo "cannot fetch Debian's source package $package (apt-get source needs the network)" >&2
    return 1
  fi
  find "$work/$package" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n 1
}

build_curl() {
  # A sysroot made before HTTPS came has a plain-HTTP libcurl: it is built again.
  if [ -f "$sysroot/lib/libcurl.a" ] &&
     [ "$(sh "$sysroot/bin/curl-config" --ssl-backends 2>/dev/null)" = Schannel ] &&
     sh "$sysroot/bin/curl-config" --features | grep -qix unicode; then
    return
  fi
  echo "== libcurl for Windows from Debian's curl source"
  local source
  source=$(fetch_source curl)
  cross_cmake "$source" "$work/curl/build" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DHTTP_ONLY=ON \
    -DCURL_ENABLE_SSL=ON -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_ZLIB=OFF \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF \
    -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF \
    -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DENABLE_UNIX_SOCKETS=OFF \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none -DENABLE_MANUAL=OFF \
    -DENABLE_UNICODE=ON
}

build_googletest() {
  [ -f "$sysroot/lib/libgtest.a" ] && return
  echo "== GoogleTest for Windows from /usr/src/googletest"
  cross_cmake /usr/src/googletest "$work/googletest" -DBUILD_GMOCK=OFF
}

copy_nlohmann_json() {
  mkdir -p "$sysroot/include" "$sysroot/share/cmake"
  cp -r /usr/include/nlohmann "$sysroot/include/"
  # The package's CMake files find the headers relative to their own location.
  cp -r /usr/share/cmake/nlohmann_json "$sysroot/share/cmake/"
}

copy_httplib() {
  [ -f "$sysroot/include/httplib.h" ] && return
  echo "== cpp-httplib's header from Debian's cpp-httplib source"
  local source
  source=$(fetch_source cpp-httplib)
  mkdir -p "$sysroot/include"
  cp "$source/httplib.h" "$sysroot/include/"
}

build_curl
build_googletest
copy_nlohmann_json
copy_httplib
