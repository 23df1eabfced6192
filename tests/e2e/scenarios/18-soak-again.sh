#!/bin/bash
# needs: prefix
# cost: 80
# Cycles 11 to 20 of 16-soak's twenty, in a prefix of their own.
. "$(dirname "$0")/16-soak.sh" 11
