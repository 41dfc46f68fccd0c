# Sourced by the project's scripts: where the fetched dependencies live, outside the checkout.
if [ -z "${HOME:-}" ]; then
  HOME=$(getent passwd "$(id -u)" | cut -d: -f6)
  export HOME=${HOME:-/root}
fi
ORT_VERSION=1.25.1
QUILLFEN_DEPS_DIR=${QUILLFEN_DEPS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quillfen-deps}
QUILLFEN_ORT_ROOT="$QUILLFEN_DEPS_DIR/onnxruntime-$ORT_VERSION"
# The linux/arm64 library of the same npm package with the same headers (scripts/setup --arch arm64).
QUILLFEN_ORT_ROOT_ARM64="$QUILLFEN_DEPS_DIR/onnxruntime-$ORT_VERSION-linux-arm64"
