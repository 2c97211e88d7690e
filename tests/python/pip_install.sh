#!/usr/bin/env bash
# The package as a user installs it without the Python package index: pip into
# a venv that sees Debian's packages. The installed package loads the library
# named by KV210_LIBRARY, and pytest finds its plugin by the entry point.
# usage: pip_install.sh PYTHON PACKAGE_SOURCE LIBRARY KV210_SIM
set -euo pipefail
python=$1 source=$2 library=$3 sim=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$source" "$work/source"  # pip builds inside the source folder: keep the checkout clean
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --quiet --no-index --no-build-isolation --disable-pip-version-check "$work/source"
cat > "$work/test_installed.py" <<'TEST'
import kv210

def test_installed_package_and_plugin(kv210_sim):
    assert "/venv/" in kv210.__file__
    with kv210.Probe(kv210_sim) as probe:
        assert probe.serial_number == "0424K10123"
TEST
cd "$work"
unset PYTHONPATH
KV210_LIBRARY=$library KV210_SIM=$sim venv/bin/python -m pytest -q -p no:cacheprovider test_installed.py
