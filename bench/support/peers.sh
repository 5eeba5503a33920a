# Sourced by the bench scripts. Benchmark-only peers are installed here when
# missing, never by CI or the product.

# install_missing_peers COMMAND=PACKAGE...: installs the packages whose
# command is not on PATH, in one apt-get call.
install_missing_peers() {
  local missing=() pair
  for pair in "$@"; do
    command -v "${pair%%=*}" >/dev/null || missing+=("${pair#*=}")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
}
