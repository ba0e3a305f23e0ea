# Running the tool's Windows build under Wine: prefixes, the desk's code
# page, the test certificate authority, and laying out the DLLs beside an
# exe. Source it; sourcing only defines functions.
# shellcheck shell=bash
#
#   source scripts/lib-wine.sh
#   SDK=$(scripts/windows-sdk | tail -n1)
#   windows_deploy "$SDK" build/windows/bin
#   wine_prefix build/wine
#   wine_trust_ca build/wine tests/ca.pem
#   wine_run_qt build/wine build/windows/bin/updater.exe
#
# What was seen with Debian 12's Wine 8.0 (wine64):
# - A new prefix takes 7 to 14 s (wineboot -i, then wineserver -w until it
#   is written out); an existing one is reused at once. Without
#   WINEDLLOVERRIDES=mscoree,mshtml= wineboot offers to download Mono and
#   Gecko in a dialog.
# - The ANSI code page (GetACP) comes from the language of LC_ALL / LANG, not
#   from the registry: en_GB, de_DE, fr_FR give 1252 (OEM 850), en_US and C
#   1252 (OEM 437), ru_RU 1251, ja_JP 932. Writing ACP under
#   HKLM\System\CurrentControlSet\Control\Nls\CodePage changes nothing (Wine
#   rewrites it from the locale). The code page holds even when the locale
#   is not installed, but then Wine cannot convert non-ASCII arguments and
#   file names ("é€" arrives as garbage); with the locale generated it
#   arrives as E9 80, the cp1252 bytes. So wine_run uses en_GB.UTF-8 and
#   generates it once.
# - Wine passes no QT_* variable of the Linux side to a Windows program (it
#   keeps them for the host's own Qt): with QT_QPA_PLATFORM=offscreen set
#   the program still came up on the "windows" platform. WINEQT_QPA_PLATFORM
#   reaches the program as QT_QPA_PLATFORM, and so for every QT_ name;
#   wine_run_qt does that renaming.
# - Qt's debug output and QtTest's output go to the Windows debug log
#   (OutputDebugString, hidden with WINEDEBUG=-all): a QtTest exe printed
#   nothing at all until QT_FORCE_STDERR_LOGGING=1 reached it.
# - No X display: the offscreen platform. Without QT_QPA_FONTDIR it finds no
#   font ("Cannot find font directory") and a grabbed button has no text;
#   with the DejaVu folder the text is drawn. Z:/usr/share/... and the bare
#   Linux path both worked (the latter only because the current drive is
#   Z:), so Z: is given.
# - Trust: Qt's schannel backend checks the server's chain against the
#   Windows ROOT store and ignores authorities added in code, so a test CA
#   goes into the prefix's store (wine_trust_ca). Seen: a GET to
#   https://localhost with a certificate from a throwaway CA failed with
#   "The issuer certificate could not be found" before wine_trust_ca and
#   gave 200 after it; https://127.0.0.1 still failed ("The host name did
#   not match"): schannel does not match IP addresses, use localhost. Wine
#   prints "GnuTLS error: The requested data were not available." on each
#   handshake; it is harmless. Wine's ROOT store also holds the Linux host's
#   trusted authorities.
# - libcurl's schannel backend under Wine does not refuse anything without
#   --cacert: Wine's schannel does no automatic server certificate check, so
#   an unknown authority and even a host given as an IP address pass. With
#   --cacert (or CURLOPT_CAINFO) curl checks the chain itself against that
#   file (another CA's file: error 60, CERT_TRUST_IS_PARTIAL_CHAIN). Tests of
#   refusal go through Qt, or give curl the CA file. Against openssl
#   s_server -www (HTTP/1.0, no Content-Length, ends with the TLS close)
#   curl.exe got the whole body and then waited until its -m timeout; a
#   server that sends Content-Length does not have that.

# Where Debian keeps the 64-bit loader and the server.
wine_bin() {
  local w
  for w in "$(command -v wine64 || true)" /usr/lib/wine/wine64 "$(command -v wine || true)"; do
    if [ -n "$w" ] && [ -x "$w" ]; then echo "$w"; return 0; fi
  done
  echo "wine64 not found" >&2
  return 1
}

wineserver_bin() {
  local w
  for w in "$(command -v wineserver || true)" /usr/lib/wine/wineserver; do
    if [ -n "$w" ] && [ -x "$w" ]; then echo "$w"; return 0; fi
  done
  echo "wineserver not found" >&2
  return 1
}

# Installs wine64, the locales tools and the fonts the offscreen platform
# uses, when they are missing.
wine_require() {
  local missing=() pkg
  for pkg in wine wine64 locales fonts-dejavu-core; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# The Linux locale whose language gives the Windows side code page 1252 (and
# OEM 850), as on a Western European desk. UPDATER_WINE_LOCALE overrides it.
wine_locale() {
  echo "${UPDATER_WINE_LOCALE:-en_GB.UTF-8}"
}

# Generates that locale once (Debian's locales), so that Wine converts
# non-ASCII text to and from the code page.
wine_locale_ensure() {
  local loc want
  loc=$(wine_locale)
  want=$(echo "$loc" | sed 's/\.UTF-8$/.utf8/I')
  if locale -a 2>/dev/null | grep -qix "$want"; then return 0; fi
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  if [ -f /etc/locale.gen ] && grep -q "^# *$loc UTF-8" /etc/locale.gen; then
    $sudo sed -i "s/^# *\($loc UTF-8\)/\1/" /etc/locale.gen
  fi
  $sudo localedef -i "${loc%%.*}" -c -f UTF-8 -A /usr/share/locale/locale.alias "$loc" >&2
}

# wine_env PREFIX: prints the environment (NAME=value lines) a Windows
# program runs with: the prefix, no debug output, no Mono/Gecko dialogs,
# code page 1252.
wine_env() {
  local prefix
  prefix=$(cd "$1" && pwd)
  printf '%s\n' "WINEPREFIX=$prefix" "WINEARCH=win64" "WINEDEBUG=-all" \
    "WINEDLLOVERRIDES=mscoree,mshtml=" "LC_ALL=$(wine_locale)" "LANG=$(wine_locale)"
}

# wine_prefix DIR: makes a 64-bit Wine prefix in DIR (a build folder) and
# waits until wineserver has written it out. Quick when DIR is one already.
wine_prefix() {
  local dir="$1"
  wine_require
  wine_locale_ensure
  mkdir -p "$dir"
  local -a envs
  mapfile -t envs < <(wine_env "$dir")
  if [ ! -f "$dir/.prefix-complete" ]; then
    env "${envs[@]}" "$(wine_bin)" wineboot -i >/dev/null 2>&1
    wine_wait "$dir"
    [ -f "$dir/system.reg" ] || { echo "wine_prefix: no prefix made in $dir" >&2; return 1; }
    touch "$dir/.prefix-complete"
  fi
  # A program that crashes ends at once (the tests start such programs), with
  # no winedbg dialog waiting for a click.
  if [ ! -f "$dir/.crash-dialog-off" ]; then
    env "${envs[@]}" "$(wine_bin)" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      >/dev/null 2>&1
    wine_wait "$dir"
    touch "$dir/.crash-dialog-off"
  fi
}

# wine_wait PREFIX: waits until the prefix's wineserver has ended (and so
# has written the registry out).
wine_wait() {
  local -a envs
  mapfile -t envs < <(wine_env "$1")
  env "${envs[@]}" "$(wineserver_bin)" -w
}

# wine_stop PREFIX: ends the prefix's wineserver and the programs in it.
wine_stop() {
  local -a envs
  mapfile -t envs < <(wine_env "$1")
  env "${envs[@]}" "$(wineserver_bin)" -k 2>/dev/null || true
}

# _wine_exec PREFIX [NAME=value...] -- EXE [ARGS...]
_wine_exec() {
  local prefix="$1"; shift
  local -a extra=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do extra+=("$1"); shift; done
  shift
  local -a envs
  mapfile -t envs < <(wine_env "$prefix")
  timeout "${WINE_TIMEOUT:-300}" env "${envs[@]}" "${extra[@]}" "$(wine_bin)" "$@"
}

# wine_run PREFIX EXE [ARGS...]: runs a Windows program in PREFIX with code
# page 1252, quiet. The exit code is the program's (124 on timeout).
# WINE_TIMEOUT (seconds, default 300) bounds the run: a program that waits
# for a dialog nobody sees, or for a TLS close that never comes, would
# otherwise hang the caller.
wine_run() {
  local prefix="$1"; shift
  _wine_exec "$prefix" -- "$@"
}

# wine_run_cp1252 is the same, by the name that says what it is for.
wine_run_cp1252() { wine_run "$@"; }

# wine_run_qt PREFIX EXE [ARGS...]: a Qt program, offscreen, its log and
# QtTest output on stderr, fonts from the host (WINE_QT_FONTDIR). Every
# QT_* variable of the caller is handed on as WINEQT_* (the only way it
# reaches the program); QT_QPA_PLATFORM may choose another platform.
wine_run_qt() {
  local prefix="$1"; shift
  local fontdir="${WINE_QT_FONTDIR:-/usr/share/fonts/truetype/dejavu}"
  local -a qt=(
    "WINEQT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}"
    "WINEQT_FORCE_STDERR_LOGGING=1"
    "WINEQT_QPA_FONTDIR=Z:$fontdir"
  )
  local var
  while IFS= read -r var; do
    case "$var" in
      QT_QPA_PLATFORM|QT_FORCE_STDERR_LOGGING|QT_QPA_FONTDIR) ;;
      QT_*) qt+=("WINE$var=${!var}") ;;
    esac
  done < <(compgen -e)
  _wine_exec "$prefix" "${qt[@]}" -- "$@"
}

# The mingw runtime DLLs Debian's -posix compilers link against.
mingw_runtime_dlls() {
  local cxx=x86_64-w64-mingw32-g++-posix dll path
  for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    path=$($cxx -print-file-name="$dll")
    # -print-file-name answers with the bare name when it finds nothing.
    if [ "$path" = "$dll" ]; then
      path=$(ls /usr/lib/gcc/x86_64-w64-mingw32/*-posix/"$dll" /usr/x86_64-w64-mingw32/lib/"$dll" 2>/dev/null | head -n1)
    fi
    [ -n "$path" ] || { echo "mingw runtime $dll not found" >&2; return 1; }
    readlink -f "$path"
  done
}

# wine_trust_ca PREFIX CA_FILE: adds the certificate authority (PEM or DER)
# to the prefix's trusted root store. Builds tools/wine-trust-ca into the
# prefix the first time (or when its source changed).
wine_trust_ca() {
  local prefix="$1" ca="$2"
  local root src exe
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  src="$root/tools/wine-trust-ca/main.c"
  exe="$prefix/wine-trust-ca.exe"
  [ -f "$ca" ] || { echo "wine_trust_ca: no file $ca" >&2; return 1; }
  wine_prefix "$prefix"
  if [ ! -f "$exe" ] || [ "$src" -nt "$exe" ]; then
    x86_64-w64-mingw32-gcc-posix -O2 -Wall -Wextra -o "$exe" "$src" -lcrypt32
  fi
  local ca_abs
  ca_abs="$(cd "$(dirname "$ca")" && pwd)/$(basename "$ca")"
  WINE_TIMEOUT=60 wine_run "$prefix" "$exe" "Z:$ca_abs"
  # The store is in the registry; have it written out before anyone copies
  # or reads the prefix.
  wine_wait "$prefix"
}

# The DLLs a PE file imports, by name, one a line.
pe_imports() {
  x86_64-w64-mingw32-objdump -p "$1" | awk '/DLL Name:/ { print $3 }'
}

# windows_deploy SDK EXE_DIR: lays out beside the exes in EXE_DIR what they
# need to run, as windeployqt would: the Qt, curl and sodium DLLs they use,
# the platform (windows, offscreen), style, TLS (schannel), SQL driver
# (ODBC), image format and network information plugins, and the mingw
# runtime. Only DLLs that are imported, directly or through another, are
# copied; Windows' own DLLs are left to Windows.
windows_deploy() {
  local sdk="$1" dir="$2"
  [ -d "$sdk/bin" ] && [ -d "$sdk/plugins" ] || { echo "windows_deploy: $sdk is no SDK" >&2; return 1; }
  [ -d "$dir" ] || { echo "windows_deploy: no folder $dir" >&2; return 1; }

  local kind f
  for kind in platforms styles tls sqldrivers imageformats networkinformation; do
    [ -d "$sdk/plugins/$kind" ] || continue
    mkdir -p "$dir/$kind"
    for f in "$sdk/plugins/$kind"/*.dll; do
      [ -e "$f" ] || continue
      cp -u "$f" "$dir/$kind/"
    done
  done

  # Where an imported DLL may come from, by lower-case name.
  declare -A source=()
  for f in "$sdk"/bin/*.dll $(mingw_runtime_dlls); do
    source[$(basename "$f" | tr 'A-Z' 'a-z')]="$f"
  done

  # Follow the imports from every exe and plugin until nothing new comes.
  local -a queue=()
  declare -A seen=()
  while IFS= read -r -d '' f; do queue+=("$f"); done < <(find "$dir" -iname '*.exe' -print0 -o -iname '*.dll' -print0)
  local dll lower
  while [ ${#queue[@]} -gt 0 ]; do
    f="${queue[0]}"; queue=("${queue[@]:1}")
    while IFS= read -r dll; do
      lower=$(echo "$dll" | tr 'A-Z' 'a-z')
      [ -n "${seen[$lower]:-}" ] && continue
      seen[$lower]=1
      if [ -n "${source[$lower]:-}" ]; then
        cp -u "${source[$lower]}" "$dir/"
        queue+=("${source[$lower]}")
      fi
    done < <(pe_imports "$f")
  done
}
