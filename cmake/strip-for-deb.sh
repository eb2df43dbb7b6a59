#!/bin/sh
# Strips a program for the package the way Debian's dh_strip does: the debug symbols, and the compiler
# notes (.comment, .note) that nothing reads at run time.
exec strip --remove-section=.comment --remove-section=.note "$@"
