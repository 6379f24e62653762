#!/usr/bin/env bash
# Sets up a fresh machine and runs the demo. Arguments are passed to examples/demo.py.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/demo.py "$@"
