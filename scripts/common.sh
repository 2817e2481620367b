# Shared by scripts/test and scripts/demo: install what is missing, then configure and build.
set -euo pipefail

VELUNTO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VELUNTO_BUILD=${VELUNTO_BUILD:-$VELUNTO_ROOT/build}

VELUNTO_PACKAGES=(
  cmake ninja-build g++ pkg-config ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  libplist-dev nlohmann-json3-dev libboost-dev
  libsoxr-dev libsndfile1-dev libfftw3-dev libyuv-dev
  qt6-base-dev libx11-dev libxtst-dev xvfb
  clang libclang-rt-14-dev
  libpulse-dev pulseaudio pulseaudio-utils
  liblilv-dev libsuil-dev lv2-dev swh-lv2 x42-plugins
  libturbojpeg0-dev
)

velunto_install_packages() {
  local missing=()
  for p in "${VELUNTO_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

velunto_build() {
  cmake -S "$VELUNTO_ROOT" -B "$VELUNTO_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$VELUNTO_BUILD" -j "$(nproc)"
}

# The test suite's tree: everything built by clang with AddressSanitizer and UndefinedBehaviorSanitizer (the
# ThreadSanitizer programs with their own), the fuzz targets as libFuzzer programs; no benchmarks.
VELUNTO_TEST_BUILD=${VELUNTO_TEST_BUILD:-$VELUNTO_ROOT/build/sanitized}
velunto_build_tests() {
  CC=clang CXX=clang++ cmake -S "$VELUNTO_ROOT" -B "$VELUNTO_TEST_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
    -DVELUNTO_SANITIZE=address -DVELUNTO_BUILD_BENCH=OFF >/dev/null
  cmake --build "$VELUNTO_TEST_BUILD" -j "$(nproc)"
}

# Installs the virtual microphone where the audio server looks for drivers.
velunto_install_mic_driver() {
  local drivers="${XDG_DATA_HOME:-$HOME/.local/share}/velunto/drivers"
  mkdir -p "$drivers"
  rm -rf "$drivers/VeluntoMic.driver"
  cp -r "$VELUNTO_BUILD/mic-driver/VeluntoMic.driver" "$drivers/"
  echo "Velunto Mic installiert in $drivers"
}
