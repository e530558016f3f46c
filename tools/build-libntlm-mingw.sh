#!/usr/bin/env bash
# Builds libntlm for the Windows cross build: a static libntlm.a and ntlm.h
# installed into PREFIX (PREFIX/lib, PREFIX/include), from Debian's source
# package of libntlm.
#
#   tools/build-libntlm-mingw.sh PREFIX
#
# The source comes through apt pointed at a private deb-src list naming the
# same mirror as the machine's own apt sources, so the machine's apt state
# is left as it was. Does nothing when PREFIX already holds the library.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 PREFIX" >&2
    exit 2
fi
mkdir -p "$1"
PREFIX=$(cd "$1" && pwd)
HOST=x86_64-w64-mingw32

if [ -f "$PREFIX/include/ntlm.h" ] && [ -f "$PREFIX/lib/libntlm.a" ]; then
    echo "libntlm for $HOST already in $PREFIX"
    exit 0
fi

for tool in apt-get $HOST-gcc-posix make tar; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "missing $tool (run tools/install-deps.sh)" >&2
        exit 1
    fi
done

WORK=$(mktemp -d /tmp/libntlm-mingw.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/lists/partial" "$WORK/cache/archives/partial" "$WORK/src"

# The deb-src list: every deb source of the machine, turned into deb-src.
LIST="$WORK/sources.list"
: >"$LIST.sources"
: >"$LIST"
shopt -s nullglob
for f in /etc/apt/sources.list.d/*.sources; do
    # deb822 stanzas: keep URIs, Suites, Components and Signed-By as they are.
    sed -e 's/^Types:.*/Types: deb-src/' "$f" >>"$LIST.sources"
    echo >>"$LIST.sources"
done
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n -e 's/^[[:space:]]*deb[[:space:]]\+/deb-src /p' "$f" >>"$LIST"
done
shopt -u nullglob
if ! grep -q '^Types: deb-src' "$LIST.sources" && ! grep -q '^deb-src' "$LIST"; then
    echo "no Debian mirror found in /etc/apt/sources.list or /etc/apt/sources.list.d/*.sources" >&2
    exit 1
fi
# apt reads deb822 lists only from a parts directory.
mkdir -p "$WORK/parts"
if grep -q '^Types: deb-src' "$LIST.sources"; then
    cp "$LIST.sources" "$WORK/parts/mirror.sources"
fi

APT_OPTS=(
    -o "Dir::Etc::sourcelist=$LIST"
    -o "Dir::Etc::sourceparts=$WORK/parts"
    -o "Dir::State::Lists=$WORK/lists"
    -o "Dir::Cache=$WORK/cache"
    -o "APT::Sandbox::User=root"
)
echo "fetching the libntlm source package"
apt-get "${APT_OPTS[@]}" -qq update
(cd "$WORK/src" && apt-get "${APT_OPTS[@]}" -q source --download-only libntlm)

ORIG=$(ls "$WORK"/src/libntlm_*.orig.tar.* 2>/dev/null | head -n1 || true)
if [ -z "$ORIG" ]; then
    echo "the source package of libntlm did not download" >&2
    exit 1
fi
tar -xf "$ORIG" -C "$WORK/src"
SRCDIR=$(find "$WORK/src" -mindepth 1 -maxdepth 1 -type d -name 'libntlm-*' | head -n1)
if [ -z "$SRCDIR" ]; then
    echo "unpacking $ORIG gave no libntlm directory" >&2
    exit 1
fi

echo "building $(basename "$SRCDIR") for $HOST into $PREFIX"
cd "$SRCDIR"
./configure --host=$HOST CC=$HOST-gcc-posix --prefix="$PREFIX" \
    --disable-shared --enable-static >"$WORK/configure.log" 2>&1 ||
    { tail -n 40 "$WORK/configure.log" >&2; exit 1; }
make -j"$(nproc)" >"$WORK/make.log" 2>&1 || { tail -n 40 "$WORK/make.log" >&2; exit 1; }
make install >"$WORK/install.log" 2>&1 || { tail -n 40 "$WORK/install.log" >&2; exit 1; }

if [ ! -f "$PREFIX/include/ntlm.h" ] || [ ! -f "$PREFIX/lib/libntlm.a" ]; then
    echo "libntlm built but ntlm.h or libntlm.a is missing in $PREFIX" >&2
    exit 1
fi
echo "libntlm for $HOST installed in $PREFIX"
