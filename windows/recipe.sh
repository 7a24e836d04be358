# The recipe of windows/deps.sh, sourced by it: Debian's source packages
# fetched and cross-built into $prefix, each step once. Its contents (and the
# compiler's version) name the cache prefix, so any change here builds anew.
# Set by the caller: here, cache, host, cc, cxx, prefix, work, jobs, say.

# Debian's sources through a private deb-src list for the machine's own Debian
# mirrors; the system's apt configuration stays as it is.
apt_dir=$work/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/parts"
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    if [ -f "$f" ]; then sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' "$f"; fi
done >"$apt_dir/sources.list"
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    # One deb822 stanza at a time: keep Debian's, turn Types into deb-src.
    awk 'BEGIN{RS=""; ORS="\n\n"} /URIs:[^\n]*debian/ {
             gsub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f"
done >"$apt_dir/parts/debian.sources"
apt_opts=(-o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/parts"
          -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache::Archives="$apt_dir/archives"
          -o Dir::Cache::pkgcache="" -o Dir::Cache::srcpkgcache="")
src=$work/src
if [ ! -f "$src/.fetched" ]; then
    say "fetching Debian sources"
    apt-get "${apt_opts[@]}" update
    rm -rf "$src"
    mkdir -p "$src"
    (cd "$src" && apt-get "${apt_opts[@]}" source gmp nettle gnutls28 ngtcp2 curl libzip xxhash)
    # Debian's patches leave some inputs newer than the files generated from
    # them; one time stamp for all keeps make from calling the autotools.
    find "$src" -exec touch -h -d "2020-01-01 00:00:00" {} +
    touch "$src/.fetched"
fi

export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH=
export CFLAGS="-O2" CXXFLAGS="-O2" CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib"
conf=(--host=$host --prefix="$prefix" --enable-static --disable-shared CC=$cc CXX=$cxx)
dir() { find "$src" -maxdepth 1 -type d -name "$1-*" | head -1; }
run() { nice -n 10 "$@"; }
done_step() { [ -f "$prefix/.step-$1" ]; }
mark_step() { touch "$prefix/.step-$1"; }
xcmake() {  # a CMake configure for the cross compiler, finding only what is in the prefix
    nice -n 10 cmake "$@" -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER=$cc -DCMAKE_CXX_COMPILER=$cxx \
        -DCMAKE_RC_COMPILER=$host-windres -DCMAKE_FIND_ROOT_PATH="$prefix" \
        -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY \
        -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_BUILD_TYPE=Release
}

if ! done_step gmp; then
say "gmp"
cd "$(dir gmp)"
# Debian's free-software tarball has no doc/ folder.
sed -i 's| doc/Makefile||' configure
sed -i 's|^\(SUBDIRS = .*\) doc$|\1|' Makefile.in
run ./configure "${conf[@]}"
run make -j"$jobs"
make install
mark_step gmp
fi

if ! done_step nettle; then
say "nettle"
cd "$(dir nettle)"
run ./configure "${conf[@]}" --disable-documentation --disable-openssl
run make -j"$jobs"
make install
mark_step nettle
fi

if ! done_step gnutls; then
say "gnutls"
cd "$(dir gnutls28)"
run ./configure "${conf[@]}" --with-included-libtasn1 --with-included-unistring \
    --without-p11-kit --without-idn --without-zstd --without-brotli --without-tpm --without-tpm2 \
    --disable-tools --disable-doc --disable-tests --disable-cxx --disable-nls --disable-guile \
    --disable-libdane --disable-manpages
run make -j"$jobs"
make install
# Debian's patch adds gnulib's linked-hash list, which its Makefile (regenerated
# only by the package's own build) does not compile; the static library needs it.
(cd gl && $cc -O2 -DHAVE_CONFIG_H -I. -I.. -c gl_linkedhash_list.c -o gl_linkedhash_list.o)
$host-ar rs "$prefix/lib/libgnutls.a" gl/gl_linkedhash_list.o
# A static GnuTLS: its header must not declare its data (gnutls_free) dllimport.
sed -i 's|^Cflags: \(.*\)$|Cflags: \1 -DGNUTLS_STATIC|' "$prefix/lib/pkgconfig/gnutls.pc"
sed -i 's|^#if !defined(GNUTLS_INTERNAL_BUILD) && defined(_WIN32)$|#if !defined(GNUTLS_INTERNAL_BUILD) \&\& !defined(GNUTLS_STATIC) \&\& defined(_WIN32)|' \
    "$prefix/include/gnutls/gnutls.h"
grep -q 'defined(GNUTLS_STATIC)' "$prefix/include/gnutls/gnutls.h"
mark_step gnutls
fi

if ! done_step ngtcp2; then
say "ngtcp2"
mkdir -p "$(dir ngtcp2)/build-win" && cd "$(dir ngtcp2)/build-win"
xcmake .. -DENABLE_GNUTLS=ON -DENABLE_OPENSSL=OFF -DENABLE_SHARED_LIB=OFF -DENABLE_STATIC_LIB=ON
run make -j"$jobs"
make install
# Static archives under the names the .pc files link.
mv "$prefix/lib/libngtcp2_static.a" "$prefix/lib/libngtcp2.a"
mv "$prefix/lib/libngtcp2_crypto_gnutls_static.a" "$prefix/lib/libngtcp2_crypto_gnutls.a"
for pc in "$prefix"/lib/pkgconfig/libngtcp2*.pc; do
    sed -i 's|^Cflags: \(.*\)$|Cflags: \1 -DNGTCP2_STATICLIB|' "$pc"
done
mark_step ngtcp2
fi

if ! done_step curl; then
say "zlib, curl"
zlib=/usr/$host
cp "$zlib/include/zlib.h" "$zlib/include/zconf.h" "$prefix/include/"
cp "$zlib/lib/libz.a" "$prefix/lib/"
cat >"$prefix/lib/pkgconfig/zlib.pc" <<EOF
prefix=$prefix
Name: zlib
Description: zlib (Debian's mingw-w64 build)
Version: 1.2.13
Libs: -L\${prefix}/lib -lz
Cflags: -I\${prefix}/include
EOF
cd "$(dir curl)"
# Its checks link GnuTLS alone; a static one needs its own libraries too.
run ./configure "${conf[@]}" LIBS="$(pkg-config --static --libs gnutls)" \
    CPPFLAGS="$CPPFLAGS -DGNUTLS_STATIC" --with-gnutls="$prefix" --without-openssl --with-zlib="$prefix" \
    --without-libpsl --without-brotli --without-zstd --without-libidn2 --without-nghttp2 \
    --without-nghttp3 --without-ngtcp2 --without-librtmp --without-libssh2 --without-libgsasl \
    --disable-ldap --disable-ldaps --disable-manual --disable-rtsp --disable-dict \
    --disable-telnet --disable-tftp --disable-pop3 --disable-imap --disable-smtp --disable-gopher \
    --disable-mqtt --disable-ntlm --disable-ntlm-wb --without-ca-bundle --without-ca-path
run make -j"$jobs" -C lib
make -C lib install
make -C include install
make install-pkgconfigDATA
mark_step curl
fi

if ! done_step libzip; then
say "libzip"
cd "$(dir libzip)"
mkdir -p build-win && cd build-win
xcmake .. -DBUILD_SHARED_LIBS=OFF \
    -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_GNUTLS=OFF -DENABLE_OPENSSL=OFF \
    -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF -DENABLE_WINDOWS_CRYPTO=OFF -DBUILD_TOOLS=OFF \
    -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
run make -j"$jobs"
make install
mark_step libzip
fi

if ! done_step xxhash; then
say "xxhash"
cd "$(dir xxhash)"
# With the run-time choice of the vector unit, as Debian's library has it.
run $cc -O2 -c xxhash.c -o xxhash.o
run $cc -O2 -c xxh_x86dispatch.c -o xxh_x86dispatch.o
$host-ar rcs "$prefix/lib/libxxhash.a" xxhash.o xxh_x86dispatch.o
cp xxhash.h xxh3.h xxh_x86dispatch.h "$prefix/include/"
cat >"$prefix/lib/pkgconfig/libxxhash.pc" <<EOF
prefix=$prefix
Name: libxxhash
Description: xxHash
Version: 0.8.1
Libs: -L\${prefix}/lib -lxxhash
Cflags: -I\${prefix}/include
EOF
mark_step xxhash
fi

if ! done_step gtest; then
say "googletest, CLI11"
mkdir -p "$work/gtest" && cd "$work/gtest"
xcmake /usr/src/googletest -DBUILD_SHARED_LIBS=OFF -Dgtest_force_shared_crt=ON
run make -j"$jobs"
make install
cp -r /usr/include/CLI "$prefix/include/"
mkdir -p "$prefix/lib/cmake/CLI11"
cat >"$prefix/lib/cmake/CLI11/CLI11Config.cmake" <<'EOF'
if(NOT TARGET CLI11::CLI11)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${CMAKE_CURRENT_LIST_DIR}/../../../include")
endif()
EOF
mark_step gtest
fi

# Static archives only: what each library needs goes into its plain Libs and
# Requires, so that CMake's imported targets link a complete set.
for pc in "$prefix"/lib/pkgconfig/*.pc; do
    awk '/^Libs.private:/ {sub(/^Libs.private:/, ""); lp = lp $0; next}
         /^Requires.private:/ {sub(/^Requires.private:/, ""); rp = rp $0; next}
         {line[++n] = $0}
         END {for (i = 1; i <= n; i++) {
                  l = line[i]
                  if (l ~ /^Libs:/) l = l " " lp
                  if (l ~ /^Requires:/) { l = l (rp == "" ? "" : ", " rp); hadreq = 1 }
                  print l }
              if (!hadreq && rp != "") print "Requires:" rp }' "$pc" >"$pc.new"
    mv "$pc.new" "$pc"
done
