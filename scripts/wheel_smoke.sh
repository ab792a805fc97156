#!/usr/bin/env bash
# Installs dist/velmira-*.whl into a new virtual environment that has nothing else, with no
# package index, and runs it from a temporary directory outside the source tree with
# LD_LIBRARY_PATH unset, as a user who only ran `pip install` would:
#   - ldd: every library the two native modules need, other than the C and C++ runtimes,
#     resolves inside the installed package (velmira.libs/); nothing is missing;
#   - at run time, no system copy of Boost.Regex, PCRE2, ICU or zstd is mapped;
#   - both modules import, `velmira --version` names the wheel's version, and the command
#     profiles a small CSV file compressed with each of gzip, zstd, bzip2 and xz, with types
#     that run on Boost.Regex and on PCRE2's JIT.
# Fails with a line saying what was wrong.
set -euo pipefail
cd "$(dirname "$0")/.."

wheels=(dist/velmira-*.whl)
[ ${#wheels[@]} = 1 ] && [ -f "${wheels[0]}" ] || { echo "wheel_smoke: expected one dist/velmira-*.whl (make wheel)" >&2; exit 1; }
wheel=$(readlink -f "${wheels[0]}")
version=$(basename "$wheel" | cut -d- -f2)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
unset LD_LIBRARY_PATH PYTHONPATH PYTHONHOME
fail() { echo "wheel_smoke: $*" >&2; exit 1; }

"${PYTHON:-python3}" -m venv venv
# No index and no configuration: the wheel alone must be enough.
PIP_CONFIG_FILE=/dev/null venv/bin/python -m pip install -q --no-index --no-cache-dir \
    --disable-pip-version-check "$wheel"
PATH="$tmp/venv/bin:$PATH"
extra=$(python -m pip list --format=freeze --disable-pip-version-check | grep -viE '^(velmira|pip|setuptools)==' || true)
[ -z "$extra" ] || fail "installing the wheel brought in more packages: $extra"

site=$(readlink -f "$(python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')")
modules=("$site"/velmira_ext.*.so "$site"/velmira/_native.*.so)

# "name path" for each library ldd resolves, the path canonical (_native's copies are found
# through velmira/../velmira.libs).
libs_of() {
  ldd "$1" | while read -r name arrow path _; do
    [ "$arrow" = "=>" ] || continue   # the vDSO and the dynamic loader
    if [ "$path" = not ]; then echo "$name (not found)"; else echo "$name $(readlink -f "$path")"; fi
  done
}

for so in "${modules[@]}"; do
  [ -f "$so" ] || fail "$so is not installed"
  libs_of "$so" > libs.txt
  while read -r name path; do
    case "$name" in
      libc.so.*|libm.so.*|libstdc++.so.*|libgcc_s.so.*|libpthread.so.*|libdl.so.*|librt.so.*) ;;
      *) case "$path" in
           "$site"/velmira.libs/*) ;;
           *) fail "$(basename "$so") loads $name from $path, not from the installed package" ;;
         esac ;;
    esac
  done < libs.txt
  echo "wheel_smoke: $(basename "$so") loads from velmira.libs: $(awk '$2 ~ /velmira.libs/ {print $1}' libs.txt | paste -sd ' ')"
done
# Those that must be there as shared libraries (zlib is linked in, so ldd does not list it).
need() {
  local so=$1; shift
  for lib in "$@"; do
    grep -q " $site/velmira.libs/$lib-" <(libs_of "$so") || fail "$(basename "$so") does not load $lib from velmira.libs"
  done
}
need "${modules[0]}" libboost_regex libpcre2-8
need "${modules[1]}" libboost_regex libpcre2-8 libzstd libbz2 liblzma

python - "$site" <<'PY'
import sys
site = sys.argv[1]
import velmira_ext
import velmira
import velmira._native
# CPython's own zlib, bz2 and lzma modules may map the system's codecs; nothing else may
# bring in a system copy of these.
ours = ("libboost_regex", "libpcre2-8", "libicu", "libzstd")
with open("/proc/self/maps") as maps:
    paths = {line.split()[-1] for line in maps if "/" in line}
stray = sorted(p for p in paths if any(n in p for n in ours) and not p.startswith(site + "/velmira.libs/"))
if stray:
    sys.exit("wheel_smoke: a system copy is mapped: " + ", ".join(stray))
PY

out=$(velmira --version)
[ "$out" = "velmira $version" ] || fail "velmira --version says '$out', the wheel is $version"

python - <<'PY'
import bz2, gzip, lzma, struct
text = b"id,when,amount,ok,pair\n" + b"".join(
    b"%d,2024-01-%02d,%d.50,%s,%s-%s\n" % (i, i, i * 3, b"true" if i % 2 else b"false", b"ab" * i, b"ab" * i)
    for i in range(1, 21))
open("rows.csv.gz", "wb").write(gzip.compress(text))
open("rows.csv.bz2", "wb").write(bz2.compress(text))
open("rows.csv.xz", "wb").write(lzma.compress(text))
# Python 3.11 has no zstd: one frame holding one raw (stored) block, which libzstd still
# has to parse. Frame header: single segment, a two-byte content size (stored less 256).
assert 256 <= len(text) < 65792
header = struct.pack("<IBH", 0xFD2FB528, 0x60, len(text) - 256)
block = struct.pack("<I", len(text) << 3 | 1)[:3]   # last block, raw, its size
open("rows.csv.zst", "wb").write(header + block + text)
PY
for f in rows.csv.gz rows.csv.zst rows.csv.bz2 rows.csv.xz; do
  out=$(velmira "$f" --no-progress 2>/dev/null) || fail "velmira $f failed: $(velmira "$f" 2>&1 | tail -n 1)"
  for want in "$f: 20 rows, 5 columns" "^id +integer " "^when +date " "^amount +decimal " "^ok +boolean " \
              "^pair +string "; do
    grep -qE "$want" <<<"$out" || fail "velmira $f: no line matching '$want' in:"$'\n'"$out"
  done
done
# A back-reference is Boost.Regex's alone; the other type runs on PCRE2's JIT.
echo '{"twice": ["([a-z]+)-\\1"], "integer": ["[0-9]+"]}' > types.json
engines=$(velmira patterns -t types.json | cut -f1,2 | tr '\t\n' ':,')
[ "$engines" = "twice:boost,integer:pcre2-jit," ] || fail "velmira patterns -t types.json says $engines"
out=$(velmira rows.csv.gz -t types.json --no-progress 2>/dev/null) || fail "velmira rows.csv.gz -t types.json failed"
for want in "^id +integer " "^pair +twice "; do
  grep -qE "$want" <<<"$out" || fail "velmira rows.csv.gz -t types.json: no line matching '$want' in:"$'\n'"$out"
done
echo "wheel_smoke: $(basename "$wheel"): installed alone, loads its own libraries, profiles gzip, zstd, bzip2 and xz"
