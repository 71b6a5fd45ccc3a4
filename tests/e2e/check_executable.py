#!/usr/bin/env python3
"""Reads a built program's import table, header flags and manifest, and fails on an import that
Windows might take from the program's own folder, on missing hardening, or on a manifest without
what every user's machine needs (the user's own rights, the supported Windows versions, UTF-8,
long paths, DPI awareness).

At load time the program may import only DLLs that Windows always takes from the system (its
known DLLs) and the common controls, which come from the side-by-side store through the
manifest; WinInet and CNG are loaded from the system folder at run time.
Usage: check_executable.py <objdump> <program.exe>..."""
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

ALLOWED = {'kernel32.dll', 'user32.dll', 'gdi32.dll', 'advapi32.dll', 'shell32.dll', 'msvcrt.dll', 'ws2_32.dll',
           'comctl32.dll'}
FLAGS = ['DYNAMIC_BASE', 'NX_COMPAT']
# Functions newer than Windows Vista that a MinGW build can come to import; none may be imported
# at load time, or the program would not start on the oldest Windows the README names. (Those it
# needs, SetDefaultDllDirectories among them, are looked up at run time.)
AFTER_VISTA = {'SetDefaultDllDirectories', 'AddDllDirectory', 'RemoveDllDirectory', 'GetSystemTimePreciseAsFileTime',
               'CreateFile2', 'WaitOnAddress', 'WakeByAddressSingle', 'WakeByAddressAll', 'GetCurrentThreadStackLimits',
               'SetThreadDescription', 'GetThreadDescription', 'InitializeSynchronizationBarrier', 'PathCchCombine',
               'CreateFileMappingFromApp', 'GetFileInformationByHandleEx', 'SetFileInformationByHandle',
               'QueryUnbiasedInterruptTime', 'GetLogicalProcessorInformationEx',
               'SetThreadGroupAffinity', 'GetActiveProcessorCount', 'CreateRemoteThreadEx', 'K32EnumProcessModules'}
# Vista, 7, 8, 8.1, 10 and 11.
SUPPORTED_OS = {'{e2011457-1546-43c5-a5fe-008deee3d3f0}', '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',
                '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}', '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',
                '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'}


def manifest_problems(exe):
    """What the manifest embedded in the program lacks."""
    found = re.search(rb'<\?xml[^>]*\?>\s*<assembly.*?</assembly>', open(exe, 'rb').read(), re.S)
    if not found:
        return ['has no manifest']
    root = ElementTree.fromstring(found.group(0))
    problems = []
    levels = [e.get('level') for e in root.iter() if e.tag.endswith('}requestedExecutionLevel')]
    if levels != ['asInvoker']:
        problems.append(f'asks for execution level {levels}, not asInvoker')
    systems = {e.get('Id').lower() for e in root.iter() if e.tag.endswith('}supportedOS')}
    if systems != SUPPORTED_OS:
        problems.append(f'names the supported Windows versions {sorted(systems)}')
    pages = [e.text for e in root.iter() if e.tag.endswith('}activeCodePage')]
    if pages != ['UTF-8']:
        problems.append(f'has the active code page {pages}, not UTF-8')
    long_paths = [e.text for e in root.iter() if e.tag.endswith('}longPathAware')]
    if long_paths != ['true']:
        problems.append(f'is not long-path aware ({long_paths})')
    # Without a DPI declaration Windows stretches the window as a bitmap: blurred text.
    awareness = [e.text for e in root.iter() if e.tag.endswith('}dpiAwareness')]
    aware = [e.text for e in root.iter() if e.tag.endswith('}dpiAware')]
    if awareness != ['PerMonitorV2, System'] or aware != ['true']:
        problems.append(f'declares the DPI awareness {awareness} {aware}, not per-monitor v2 with a system-aware fallback')
    if not any(e.get('name') == 'Microsoft.Windows.Common-Controls' for e in root.iter() if e.tag.endswith('}assemblyIdentity')):
        problems.append('does not ask for the common controls 6')
    return problems


def check(objdump, exe):
    """The problems found in one program, as sentences."""
    headers = subprocess.run([objdump, '-p', exe], check=True, capture_output=True, text=True).stdout
    imports = {line.split(':', 1)[1].strip().lower() for line in headers.splitlines() if 'DLL Name:' in line}
    problems = [f'imports {name}, which Windows may look for beside the program' for name in sorted(imports - ALLOWED)]
    flags = set(headers.split('DllCharacteristics', 1)[1].split('SizeOfStackReserve', 1)[0].split()[1:])
    problems += [f'lacks {flag}' for flag in FLAGS if flag not in flags]
    functions = {line.split()[-1] for line in headers.split('The Import Tables', 1)[-1].splitlines() if line.strip()}
    problems += [f'imports {name}, which Windows Vista lacks' for name in sorted(functions & AFTER_VISTA)]
    if 'PE32+' in headers and 'HIGH_ENTROPY_VA' not in flags:
        problems.append('lacks HIGH_ENTROPY_VA')
    if not imports:
        problems.append('has no import table that objdump could read')
    return problems + manifest_problems(exe)


def main():
    objdump, programs = sys.argv[1], sys.argv[2:]
    failed = 0
    for exe in programs:
        problems = check(objdump, exe)
        for problem in problems:
            print(f'FAIL {exe}: {problem}')
        if not problems:
            print(f'ok   {exe}: imports only known DLLs; {", ".join(FLAGS)}; asInvoker, UTF-8, long paths, per-monitor DPI, supported Windows')
        failed += bool(problems)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
