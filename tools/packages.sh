# Debian packages the project needs; sourced by ./test and ./demo.
VTR_PACKAGES="cmake g++ make pkg-config python3 libcli11-dev libgtest-dev libgmock-dev
libbenchmark-dev libgnutls28-dev gnutls-bin libngtcp2-dev libngtcp2-crypto-gnutls-dev libzip-dev
libcurl4-gnutls-dev libxxhash-dev libwim-dev golang-go golang-github-lucas-clemente-quic-go-dev"

vtr_install_packages() {
    local missing=""
    for p in $VTR_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    if [ -n "$missing" ]; then
        echo "Installing:$missing"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq && apt-get install -y -qq $missing >/dev/null
    fi
}

vtr_build() {  # vtr_build <dir> [cmake args...]
    local dir=$1
    shift
    local launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    cmake -S . -B "$dir" "${launcher[@]}" "$@" >/dev/null && cmake --build "$dir" -j"$(nproc)"
}
