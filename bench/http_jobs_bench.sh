#!/usr/bin/env bash
# The API jobs over HTTP beside their floors (bench/http_jobs_bench.py) with Debian's python3.
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/http_jobs_bench.py"
