#!/usr/bin/env bash
# Runs a command and appends its wall and CPU time (user + system of every process it waited for) to a file.
#   scripts/step-time.sh FILE NAME COMMAND [ARGS...]
set -u
file=${1:?usage: step-time.sh FILE NAME COMMAND [ARGS...]}
name=${2:?usage: step-time.sh FILE NAME COMMAND [ARGS...]}
shift 2
TIMEFORMAT="$name: %R s wall, %U s user + %S s system CPU"
exec 3>&2
{ time "$@" 2>&3; } 2>>"$file"
