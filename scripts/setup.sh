#!/usr/bin/env bash
# Installs what the build and the tests need: Debian packages (as root) and a
# virtual environment in .venv with the Python build and test dependencies.
# Safe to run again: it only installs what is missing.
#
#   scripts/setup.sh [EXTRA-DEBIAN-PACKAGE...]   (the fuzzers add clang and its runtimes)
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
DEB_PACKAGES="libboost-regex-dev libpcre2-dev zlib1g-dev libbz2-dev liblzma-dev libzstd-dev pkg-config libgtest-dev
              g++ make $*"
py_include=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
[ -f "$py_include/Python.h" ] || DEB_PACKAGES="$DEB_PACKAGES python3-dev"

missing=""
for p in $DEB_PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "setup: installing Debian packages:$missing"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
  else
    echo "setup: missing Debian packages. Run as root:" >&2
    echo "    apt-get install -y$missing" >&2
    exit 1
  fi
fi

if [ ! -x .venv/bin/python ]; then
  "$PYTHON" -m venv .venv
fi
stamp=.venv/.deps-$(cat pyproject.toml scripts/setup.sh | sha1sum | cut -c1-12)
if [ ! -f "$stamp" ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  # Build requirements too, so that the module builds without isolation (fast, incremental).
  .venv/bin/python -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.0.1,<3.2" \
      "cmake>=3.18" ninja "tomli>=1.1; python_version < '3.11'"
  # The test extra's requirements (pytest and the libraries the load tests use),
  # read from pyproject.toml so that they are listed in one place.
  .venv/bin/python -c '
import sys
try:
    import tomllib
except ModuleNotFoundError:
    import tomli as tomllib
with open("pyproject.toml", "rb") as f:
    sys.stdout.write("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]) + "\n")
' > .venv/test-requirements.txt
  .venv/bin/python -m pip install -q -r .venv/test-requirements.txt
  rm -f .venv/.deps-*
  touch "$stamp"
fi
