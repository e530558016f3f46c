#!/usr/bin/env bash
# Builds tests/msvc_host/msvc_host.cpp as a Visual C++ host would be built
# (clang in the MSVC ABI, wine's CRT, lld-link, no C++ standard library),
# against include/ alone and vemnet.lib (the import library made for such
# hosts, as the package ships it), then
# runs it under wine with its own prefix, whose system proxy setting names
# the plain squid peer. Run under tests/peers/with-peers.sh.
#
# usage: run-msvc-host.sh WINDOWS_BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
out="$build/msvc_host"
mkdir -p "$out/lib"

wine_libs=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
for lib in vcruntime140 ucrtbase kernel32 ws2_32; do
    ln -sf "$wine_libs/lib$lib.a" "$out/lib/$lib.lib"
done

flags=(--target=x86_64-pc-windows-msvc -std=c++17 -O1 -Wall
       -isystem /usr/include/wine/wine/msvcrt -isystem /usr/include/wine/wine/windows
       -DWINE_UNICODE_NATIVE -D_InterlockedCompareExchange128=__wine_InterlockedCompareExchange128
       -I "$root/include")
clang++ "${flags[@]}" -c "$here/msvc_host.cpp" -o "$out/msvc_host.o"
clang++ "${flags[@]}" -c "$here/crt_startup.cpp" -o "$out/crt_startup.o"
clang++ "${flags[@]}" -fno-rtti -c "$here/type_info_vtable.cpp" -o "$out/type_info_vtable.o"
clang++ --target=x86_64-pc-windows-msvc -fuse-ld=lld -nostdlib \
    -Wl,/nodefaultlib,/entry:mainCRTStartup,/subsystem:console \
    "$out/msvc_host.o" "$out/crt_startup.o" "$out/type_info_vtable.o" \
    "$build/vemnet.lib" -L "$out/lib" -lvcruntime140 -lucrtbase -lkernel32 -lws2_32 \
    -o "$out/msvc_host.exe"
cp "$build/vemnet.dll" "$out/"

export WINEDEBUG=-all
export WINEPREFIX="$build/wine-prefix-msvc"
wine=/usr/lib/wine/wine64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || true
fi
# The system proxy setting where the system's dialog writes it.
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
export VEMNET_SYSTEM_PROXY_PORT=${VEMNET_SQUID_PLAIN_PORT:-0}
timeout 60 "$wine" reg add "$key" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null
timeout 60 "$wine" reg add "$key" /v ProxyServer /t REG_SZ /d "127.0.0.1:$VEMNET_SYSTEM_PROXY_PORT" /f >/dev/null
timeout 60 "$wine" reg add "$key" /v ProxyOverride /t REG_SZ /d "" /f >/dev/null

rc=0
(cd "$out" && timeout 300 "$wine" ./msvc_host.exe) || rc=$?

# An exception of the host's compiler thrown by a task into the library: the
# MinGW-built library cannot catch it, so the process must end (and not, say,
# hang or go on with a broken frame). What the guide tells hosts rests on it.
thrown=0
(cd "$out" && timeout 120 "$wine" ./msvc_host.exe --throw-into-library >throw.log 2>&1) || thrown=$?
if [ "$thrown" -eq 0 ] || [ "$thrown" -eq 124 ]; then
    echo "a host exception thrown into the library: exit $thrown, expected the process to end"
    cat "$out/throw.log"
    rc=1
else
    echo "a host exception thrown into the library ends the process (exit $thrown), as the guide says"
fi
timeout 30 /usr/lib/wine/wineserver -k 2>/dev/null || true
exit $rc
