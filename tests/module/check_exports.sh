#!/bin/sh
# Fails unless the module's dynamic symbol table defines exactly one symbol,
# GetFunctionList. Usage: check_exports.sh <nm> <module file>
set -eu
nm_tool=$1
module=$2
defined=$("$nm_tool" -D --defined-only "$module" | awk '{ print $NF }' | sort)
if [ "$defined" != "GetFunctionList" ]; then
    echo "the module exports more than GetFunctionList:" >&2
    echo "$defined" >&2
    exit 1
fi
echo "the module exports only GetFunctionList"
