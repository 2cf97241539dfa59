# Shared by scripts/run, scripts/test and scripts/bench. Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Debian packages that building and running Lumeno needs.
RUN_PACKAGES=(
  g++ cmake ninja-build pkg-config
  libasio-dev nlohmann-json3-dev libicu-dev
  qt6-base-dev libpulse-dev libasound2-dev libqrencode-dev libpng-dev
  libpocketsphinx-dev pocketsphinx-en-us libsamplerate0-dev libopus-dev libogg-dev libmp3lame-dev
  libqt6svg6 qt6-svg-dev
  festival festvox-us-slt-hts  # speaks the demo recording
  # The church language model: Bible and commentary text, IRSTLM, the model converter, the
  # letter-to-sound rules.
  python3 diatheke sword-text-web sword-text-kjv sword-comm-mhcc sword-comm-tdavid sword-comm-scofield
  irstlm sphinxbase-utils festlex-cmu
)
# What building the Debian package needs on top (dpkg-shlibdeps and the file type check).
PACKAGE_PACKAGES=(dpkg-dev file)
# What only the tests and benchmarks need on top.
TEST_PACKAGES=(
  libgtest-dev libgmock-dev opus-tools pocketsphinx-testdata flite pulseaudio pulseaudio-utils xvfb xauth chromium fonts-noto-color-emoji zbar-tools dbus desktop-file-utils xdotool libx11-dev
  # the listener page's other two engines: Firefox over WebDriver BiDi, WebKitGTK's MiniBrowser
  # through its WebDriver, playing through GStreamer into PulseAudio
  firefox-esr webkit2gtk-driver gstreamer1.0-pulseaudio gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  "${PACKAGE_PACKAGES[@]}" lintian groff-base systemd
  icecast2  # the baseline of scripts/bench fanout --baseline icecast
  mpg123  # decodes the MP3 stream in its tests
)
# What only scripts/fuzz needs: clang with libFuzzer and the sanitizer runtimes.
FUZZ_PACKAGES=(clang libclang-rt-dev)

# Installs the named packages that dpkg does not already know as installed.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "Installing missing packages: ${missing[*]}" >&2
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  # Another install (a second build tree, a test run) may hold dpkg's lock: wait for it.
  local wait=(-o DPkg::Lock::Timeout=600)
  "${sudo[@]}" apt-get "${wait[@]}" update -q >&2
  "${sudo[@]}" apt-get "${wait[@]}" install -y --no-install-recommends "${missing[@]}" >&2
}

# The tree scripts/run and scripts/package build in: the program without tests or benchmarks,
# so it needs no GoogleTest. Separate from build/, whose tests scripts/test keeps configured.
APP_BUILD="$ROOT/build-app"

# Configures (once) and builds the tree in $1 with the remaining arguments as CMake options.
build_tree() {
  local dir="$1"; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >&2
  fi
  cmake --build "$dir" --parallel "$(nproc)" >&2
}

# Node.js and npm may come from another packaging of Node (which then owns npm itself):
# install Debian's only when the command is missing.
ensure_node() {
  command -v node >/dev/null 2>&1 || ensure_packages nodejs
  command -v npm >/dev/null 2>&1 || ensure_packages npm
}

# The browser tests' npm packages, from their lockfile, when it is newer than what npm installed.
ensure_browser_packages() {
  local dir="$ROOT/tests/e2e/browser"
  ensure_node
  if [ ! -f "$dir/node_modules/.package-lock.json" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules/.package-lock.json" ]; then
    (cd "$dir" && npm ci --no-audit --no-fund >&2)
  fi
}
