#!/usr/bin/env bash
# Prints the Windows build the tests run on: win32 where this machine can execute
# 32-bit code under Wine, otherwise win64 (the same sources built for x86_64).
if /usr/lib/wine/wine --version >/dev/null 2>&1; then echo win32; else echo win64; fi
