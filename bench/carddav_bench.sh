#!/usr/bin/env bash
# The CardDAV daemon benchmark (bench/carddav_bench.py) with Debian's python3 (Radicale, psycopg2).
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/carddav_bench.py"
