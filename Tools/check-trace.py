#!/usr/bin/env python3
"""Checks a trace file: every line has the fixed header (but for the lines a message's own line
feeds make), ends in CR LF and has at most 1150 characters before it. Prints the first fault and
exits 1, or prints a summary and exits 0.
   check-trace.py <trace file>"""
import re
import sys

HEADER = re.compile(rb'^[^\t\r\n]+\tPID:[0-9a-f]+\tTID:[0-9a-f]+\t[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}'
                    rb'\t\([0-9A-F]+\)\tTIER -?[0-9]+\t\t')


def main(path):
    data = open(path, 'rb').read()
    if not data:
        print(f'{path}: empty')
        return 1
    if not data.endswith(b'\r\n'):
        print(f'{path}: the last line does not end in CR LF')
        return 1
    lines = data[:-2].split(b'\r\n')
    for number, line in enumerate(lines, 1):
        if b'\n' in line or b'\r' in line:
            print(f'{path}:{number}: a line feed or carriage return without the other')
            return 1
        if len(line) > 1150:
            print(f'{path}:{number}: {len(line)} characters before the line feed')
            return 1
        # A message may hold line feeds of its own ("\nRetrieved %d for VlanID\n"), which the
        # text-mode file turns into CR LF: an empty line may follow a message, and a text line
        # may follow only a header whose message is empty.
        if not HEADER.match(line):
            previous = lines[number - 2] if number > 1 else b''
            opened = HEADER.match(previous) and HEADER.match(previous).end() == len(previous)
            if line and not opened:
                print(f'{path}:{number}: no trace header: {line[:80]!r}')
                return 1
    print(f'{path}: {len(lines)} lines, each with the header, CR LF and at most 1150 characters')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1]) if len(sys.argv) == 2 else (print(__doc__) or 2))
