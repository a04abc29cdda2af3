#!/usr/bin/env bash
# Installs segmorph into .venv and converts the sample message shipped in
# examples/ to JSON records on standard output.  The build is skipped when
# the sources are unchanged since the last one (a hash of them is kept in
# .venv), so a second run takes a moment.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf 'run_sample: %s\n' "$*" >&2; }

if [ ! -x .venv/bin/python ]; then
    say "creating the virtual environment .venv"
    python3 -m venv .venv
fi

# TLS for listen and send builds against the system's OpenSSL 3 headers;
# without them the command is built without TLS.
if [ ! -f /usr/include/openssl/ssl.h ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    say "installing the OpenSSL headers (libssl-dev) for TLS"
    { apt-get install -y -qq libssl-dev || { apt-get update -qq && apt-get install -y -qq libssl-dev; }; } >/dev/null 2>&1 \
        || say "could not install libssl-dev: segmorph is built without TLS"
fi

stamp=.venv/.segmorph-sources
sources=$(find src cli stubs CMakeLists.txt pyproject.toml -type f -print0 | LC_ALL=C sort -z \
          | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$sources" ] || ! .venv/bin/python -c 'import segmorph' 2>/dev/null; then
    say "building segmorph from source and installing it into .venv (about a minute the first time)"
    start=$SECONDS
    .venv/bin/python -m pip install -q --disable-pip-version-check .
    echo "$sources" > "$stamp"
    say "built and installed in $((SECONDS - start)) s"
fi

.venv/bin/python examples/hl7_to_json.py "${1:-examples/adt_a01.hl7}"
