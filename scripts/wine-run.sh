#!/usr/bin/env bash
# Runs a Windows program in the test run's Wine environment (see wine-env.sh).
# CTest uses this as the emulator of every cross-compiled test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
exec wine "$@"
