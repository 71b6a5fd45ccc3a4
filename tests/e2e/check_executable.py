#!/usr/bin/env python3
"""Reads a built program's import table and header flags and fails on an import that Windows
might take from the program's own folder, or on missing hardening.

At load time the program may import only DLLs that Windows always takes from the system (its
known DLLs) and the common controls, which come from the side-by-side store through the
manifest; WinInet and CNG are loaded from the system folder at run time.
Usage: check_executable.py <objdump> <program.exe>..."""
import subprocess
import sys

ALLOWED = {'kernel32.dll', 'user32.dll', 'gdi32.dll', 'advapi32.dll', 'shell32.dll', 'msvcrt.dll', 'ws2_32.dll',
           'comctl32.dll'}
FLAGS = ['DYNAMIC_BASE', 'NX_COMPAT']


def check(objdump, exe):
    """The problems found in one program, as sentences."""
    headers = subprocess.run([objdump, '-p', exe], check=True, capture_output=True, text=True).stdout
    imports = {line.split(':', 1)[1].strip().lower() for line in headers.splitlines() if 'DLL Name:' in line}
    problems = [f'imports {name}, which Windows may look for beside the program' for name in sorted(imports - ALLOWED)]
    flags = set(headers.split('DllCharacteristics', 1)[1].split('SizeOfStackReserve', 1)[0].split()[1:])
    problems += [f'lacks {flag}' for flag in FLAGS if flag not in flags]
    if 'PE32+' in headers and 'HIGH_ENTROPY_VA' not in flags:
        problems.append('lacks HIGH_ENTROPY_VA')
    if not imports:
        problems.append('has no import table that objdump could read')
    return problems


def main():
    objdump, programs = sys.argv[1], sys.argv[2:]
    failed = 0
    for exe in programs:
        problems = check(objdump, exe)
        for problem in problems:
            print(f'FAIL {exe}: {problem}')
        if not problems:
            print(f'ok   {exe}: imports only known DLLs; {", ".join(FLAGS)}')
        failed += bool(problems)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
