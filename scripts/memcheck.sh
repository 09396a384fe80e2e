#!/usr/bin/env bash
# The soak under valgrind's memcheck: scripts/soak.sh --memcheck, which says the rest.
#
#   scripts/memcheck.sh [--build-dir DIR] [-- options for quarin_soak]
exec "$(dirname "$0")/soak.sh" --memcheck "$@"
