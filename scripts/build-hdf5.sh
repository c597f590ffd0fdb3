#!/usr/bin/env bash
# Builds the wheel's HDF5 into PREFIX ($1): Debian 12's own source package, Debian's patches
# applied, configured as Debian configures its serial library (thread-safe, the 1.8 API names
# by default, the deflate and szip filters) but static and position independent, and without
# the read-only S3 driver, whose curl and TLS libraries would otherwise come along. A second
# run finds the library in PREFIX and does nothing. Needs deb-src access to the machine's own
# apt sources, which it derives from them without touching the system's apt configuration.
set -euo pipefail
prefix=$(realpath -m "$1")
[[ -f $prefix/lib/libhdf5.a ]] && exit 0
work=$(mktemp -d)
chmod 755 "$work"  # apt fetches as its own user
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial"
for f in /etc/apt/sources.list.d/*.sources; do
  [[ -f $f ]] && sed 's/^Types: deb$/Types: deb-src/' "$f" > "$work/parts/$(basename "$f")"
done
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [[ -f $f ]] && sed -n 's/^deb /deb-src /p' "$f"
done > "$work/sources.list"
apt=(apt-get -qq -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts="$work/parts"
     -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache")
"${apt[@]}" update
(cd "$work" && "${apt[@]}" source hdf5 >/dev/null)
cd "$work"/hdf5-*/
build() {
  ./configure --prefix="$prefix" --disable-shared --enable-static --with-pic --with-pthread \
    --enable-unsupported --enable-threadsafe --with-default-api-version=v18 --with-zlib --with-szlib \
    --disable-hl --disable-fortran --disable-cxx --disable-java --disable-tests --disable-tools
  make -j "${JOBS:-$(nproc)}" -C src
  make -C src install
}
# The library's own build is noisy with warnings: its log is shown only when it fails.
build > "$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; exit 1; }
