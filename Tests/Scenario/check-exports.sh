#!/usr/bin/env bash
# The Windows executable exports the support library's classes: a member of each appears in its
# export table.
set -u
objdump=$1 exe=$2
table=$("$objdump" -p "$exe")
status=0
for class in CZelString CZelRegKey CZelDebug CZelTraceScope COSType CHelper; do
    grep -q "] _Z.*${#class}${class}" <<<"$table" || { echo "no export of $class in $exe"; status=1; }
done
grep -q "g_ZelDebug" <<<"$table" || { echo "no export of g_ZelDebug"; status=1; }
for function in ZelSafeCopy GetLocalLanguage GetCodePage; do
    grep -q "$function" <<<"$table" || { echo "no export of $function"; status=1; }
done
exit $status
