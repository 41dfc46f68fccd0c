# Sourced by the project's scripts: where the fetched dependencies live, outside the checkout,
# and where they come from.
if [ -z "${HOME:-}" ]; then
  HOME=$(getent passwd "$(id -u)" | cut -d: -f6)
  export HOME=${HOME:-/root}
fi
ORT_VERSION=1.25.1
QUILLFEN_DEPS_DIR=${QUILLFEN_DEPS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quillfen-deps}
QUILLFEN_ORT_ROOT="$QUILLFEN_DEPS_DIR/onnxruntime-$ORT_VERSION"
# The linux/arm64 library of the same npm package with the same headers (scripts/setup --arch arm64).
QUILLFEN_ORT_ROOT_ARM64="$QUILLFEN_DEPS_DIR/onnxruntime-$ORT_VERSION-linux-arm64"

# The Debian mirror this machine already uses, read from its own apt sources.
debian_mirror() {
  local uri=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ {for (i = 2; i <= NF; i++) if ($i !~ /security/) {print $i; exit}}' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^(https?|file):/ && $i !~ /security/) {print $i; exit}}' /etc/apt/sources.list)
  fi
  printf '%s\n' "${uri:-http://deb.debian.org/debian}"
}
