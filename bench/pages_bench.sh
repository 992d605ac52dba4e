#!/usr/bin/env bash
# The contacts pages benchmark (bench/pages_bench.py) with Debian's python3, which has Selenium.
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/pages_bench.py"
