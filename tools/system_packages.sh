# Sourced by the test scripts: ensure_system_packages installs the Debian packages that are missing,
# with apt-get as root or through `sudo -n`, and otherwise stops, naming the exact command to run.
#   ensure_system_packages "PACKAGE|CHECK" ...   (CHECK: a shell test that passes when it is installed)
ensure_system_packages() {
  local spec missing=()
  for spec in "$@"; do
    eval "${spec#*|}" >/dev/null 2>&1 || missing+=("${spec%%|*}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local command="apt-get update && apt-get install -y ${missing[*]}"
  command -v apt-get >/dev/null 2>&1 ||
    die "missing system packages: ${missing[*]} (Debian names); install them with your package manager"
  local sudo=()
  if [ "$(id -u)" != 0 ]; then
    sudo -n true 2>/dev/null || die "missing system packages: ${missing[*]}. Install them with: sudo sh -c '$command'"
    sudo=(sudo -n)
  fi
  echo "== Installing system packages: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null ||
    die "could not install ${missing[*]}; install them with: $command"
}

# What the test command needs: a C++ compiler, CMake, GoogleTest, nm (the exported-symbol test), the
# Unicode Character Database (the tokenizer's Unicode tests) and a headless browser with its WebDriver
# (the served page's test drives it).
OMBREL_TEST_PACKAGES=(
  "g++|command -v g++"
  "cmake|command -v cmake"
  "libgtest-dev|[ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]"
  "binutils|command -v nm"
  "unicode-data|[ -f /usr/share/unicode/UnicodeData.txt ]"
  "chromium|command -v chromium"
  "chromium-driver|command -v chromedriver"
)
# And the sanitizer command: clang with its sanitizer and libFuzzer runtimes.
OMBREL_SANITIZER_PACKAGES=(
  "${OMBREL_TEST_PACKAGES[@]}"
  "clang|command -v clang"
  "libclang-rt-14-dev|ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a"
)
