# Helpers shared by the scripts; sourced, not run:
#   source "$(dirname "$0")/lib.sh"
# The sourcing script names itself in `script` for messages.

clang_version=19
fuzz_targets=(decode_run locate_extract roundtrip strip_hashed datahash nfc_pieces)

script=${script:-$(basename "$0")}

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Installs the Debian packages that are missing (as root), or names them and
# fails.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    is_installed "$p" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null; then
    echo "$script: needs the Debian packages ${missing[*]}" >&2
    echo "$script: install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "$script: installing ${missing[*]}" >&2
  apt_get update -qq
  apt_get install -y -qq "${missing[@]}" >/dev/null
}

# Adds deb-src entries for the Debian mirrors apt already uses (as root), so
# that `apt-get source` works.
ensure_deb_src() {
  if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return 0
  fi
  local list=/etc/apt/sources.list.d/debian.sources
  if [[ $(id -u) -ne 0 || ! -f $list ]]; then
    echo "$script: needs deb-src entries in apt's sources to fetch Debian source packages" >&2
    exit 1
  fi
  echo "$script: adding deb-src entries beside $list" >&2
  sed 's/^Types: deb$/Types: deb-src/' "$list" >/etc/apt/sources.list.d/quorvane-deb-src.sources
  apt_get update -qq
}

# Fetches and unpacks Debian's source package $1 (with Debian's patches) into
# the folder $2, once; prints the unpacked tree's path.
debian_source() {
  local name=$1 into=$2 tree
  tree=$(find "$into" -mindepth 1 -maxdepth 1 -type d -name "$name-*" 2>/dev/null | head -n 1)
  if [[ -z $tree ]]; then
    ensure_packages dpkg-dev
    ensure_deb_src
    mkdir -p "$into"
    (cd "$into" && apt_get source -qq "$name" >/dev/null 2>&1) || {
      echo "$script: could not fetch Debian's source of $name" >&2
      exit 1
    }
    tree=$(find "$into" -mindepth 1 -maxdepth 1 -type d -name "$name-*" | head -n 1)
  fi
  echo "$tree"
}

# Puts CMake >= 3.26 and Ninja on PATH: the system's when new enough, else
# those of the virtual environment build/venv-tools (never the system
# Python's site-packages).
build_tools() {
  local tools=$PWD/build/venv-tools
  [[ -x $tools/bin/cmake ]] && export PATH=$tools/bin:$PATH
  if cmake --version 2>/dev/null | awk 'NR==1 {split($3, v, "."); exit !(v[1] > 3 || (v[1] == 3 && v[2] >= 26))}' &&
     command -v ninja >/dev/null; then
    return 0
  fi
  echo "$script: installing CMake and Ninja into $tools" >&2
  [[ -x $tools/bin/python ]] || python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q "cmake>=3.26" ninja
  export PATH=$tools/bin:$PATH
}
