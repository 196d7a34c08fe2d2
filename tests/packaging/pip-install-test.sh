#!/usr/bin/env bash
# Installs the Python package the way Python users do, into a fresh virtual
# environment, and uses it from there: the import, the version (the
# project's), and the pytest plugin loaded through its entry point alone (no
# conftest) against the programs of this build.
#
# Without the package index pip cannot fetch setuptools for an isolated
# build, so the build uses the installed one (--no-build-isolation), as the
# README says: Debian's python3-setuptools and python3-wheel, seen from the
# venv through --system-site-packages. The tree is copied first: pip builds
# in place and would leave build/ and an egg-info in the sources.
#
#   pip-install-test.sh SOURCE_DIR VERSION BIN_DIR LIB_DIR
set -euo pipefail

source=$1 version=$2 bin=$3 lib=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cp -r "$source/python" "$work/src"
rm -rf "$work/src/tests"
/usr/bin/python3 -m venv --system-site-packages "$work/venv" || fail "python3 -m venv (python3-venv)"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1 PYTHONDONTWRITEBYTECODE=1
"$work/venv/bin/pip" install -q --no-index --no-build-isolation "$work/src" || fail "pip install"

cd "$work"
"$work/venv/bin/python" - "$version" "$work/venv" <<'PY' || fail "the installed package"
import importlib.metadata as metadata
import sys
import kestrad

version, venv = sys.argv[1:]
assert kestrad.__file__.startswith(venv + "/"), f"kestrad imported from {kestrad.__file__}"
assert metadata.version("kestrad") == version, f"package version {metadata.version('kestrad')}, project {version}"
plugins = [e.value for e in metadata.entry_points(group="pytest11") if e.name.startswith("kestrad")]
assert plugins == ["kestrad.pytest_plugin"], plugins
assert (metadata.distribution("kestrad").locate_file("kestrad/py.typed")).is_file(), "py.typed missing"
PY

mkdir "$work/t"
cat >"$work/t/test_installed.py" <<'PY'
def test_idcode(kestrad_client):
    with kestrad_client.open("SIM") as c:
        c.trst(False)
        c.trst(True)
        assert c.shift_dr(0, 32) == 0x4BA00477
PY
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$work/t" --kestrad-bin="$bin" --kestrad-lib="$lib" ||
    fail "the installed pytest plugin"
echo "pip install test passed"
