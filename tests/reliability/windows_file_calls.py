#!/usr/bin/env python3
"""The power-cut stories on Windows, read from the program's calls to Windows.

Runs power_cut_calls.exe under Wine with the relay channel on for the file calls alone, cuts the
log into stories at the markers the program sends, and checks in each story:
  - every replace is MoveFileExA(..., MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH), and
    no other move or replace call is made;
  - the file moved was written in the story, flushed (FlushFileBuffers) after its last write and
    closed before the move;
  - when the resume index is replaced (which records a part done), no file written in the story
    holds a write that was not flushed: a part is never recorded before its data is on the disk.
Wine's own durability is not Windows': this checks what the program asks of Windows, no more.

    windows_file_calls.py PATH/TO/power_cut_calls.exe [--wineprefix DIR] [--log FILE]
"""
import argparse
import os
import re
import subprocess
import sys

CALLS = ["CreateFileA", "CreateFileW", "WriteFile", "FlushFileBuffers", "CloseHandle", "MoveFileExA",
         "MoveFileExW", "MoveFileA", "MoveFileW", "MoveFileWithProgressA", "MoveFileWithProgressW",
         "ReplaceFileA", "ReplaceFileW", "DeleteFileA", "DeleteFileW", "CreateDirectoryA", "CreateDirectoryW",
         "OutputDebugStringA"]
MOVE_REPLACE_EXISTING_WRITE_THROUGH = 0x1 | 0x8
GENERIC_WRITE = 0x40000000
LINE = re.compile(r"^([0-9a-f]+):(Call|Ret)\s+[\w.-]+\.(\w+)\((.*)\)(?: retval=([0-9a-f]+))? ret=[0-9a-f]+$")
STRING = re.compile(r'L?"((?:[^"\\]|\\.)*)"')


def arguments(text):
    """The call's strings (unescaped) and its numbers (the low 32 bits: the 64-bit relay shows
    whatever the upper half of the register held)."""
    strings = [s.encode().decode("unicode_escape") for s in STRING.findall(text)]
    numbers = [int(a.strip(), 16) & 0xFFFFFFFF for a in STRING.sub("", text).split(",")
               if re.fullmatch(r"\s*[0-9a-f]+\s*", a)]
    return strings, numbers


def events(log):
    """Completed calls in order: (name, strings, numbers, retval)."""
    pending = {}  # thread: stack of open calls
    for line in log.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        thread, kind, name, args, retval = m.groups()
        stack = pending.setdefault(thread, [])
        if kind == "Call":
            # A call Windows passes on to another DLL shows twice; the outer one counts.
            if name == "OutputDebugStringA" and not any(n == name for n, _ in stack):
                yield name, arguments(args)[0], [], 0
            stack.append((name, args))
        else:
            while stack and stack[-1][0] != name:
                stack.pop()
            if stack:
                _, args = stack.pop()
                if name == "OutputDebugStringA":
                    continue  # yielded at its call
                strings, numbers = arguments(args)
                yield name, strings, numbers, int(retval or "0", 16)


class Story:
    def __init__(self, name, home):
        self.name = name
        self.home = home
        self.handles = {}     # open handle: path
        self.unflushed = {}   # path: a write since its last flush
        self.open_paths = {}  # path: handles still open
        self.written = set()
        self.moves = self.index_records = self.flushes = 0
        self.problems = []

    def call(self, name, strings, numbers, retval):
        if name.startswith("CreateFile") and retval not in (0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF):
            path = strings[0].lower()
            if numbers[1] & GENERIC_WRITE:
                self.handles[retval & 0xFFFFFFFF] = path
                self.open_paths[path] = self.open_paths.get(path, 0) + 1
        elif name == "WriteFile" and retval:
            path = self.handles.get(numbers[0])
            if path:
                self.unflushed[path] = True
                self.written.add(path)
        elif name == "FlushFileBuffers" and retval:
            path = self.handles.get(numbers[0])
            if path:
                self.unflushed[path] = False
                self.flushes += 1
        elif name == "CloseHandle" and retval:
            path = self.handles.pop(numbers[0], None)
            if path:
                self.open_paths[path] -= 1
        elif name.startswith("Move") or name.startswith("Replace"):
            self.move(name, strings, numbers, retval)

    def move(self, name, strings, numbers, retval):
        self.moves += 1
        source, target = (strings + ["", ""])[:2]
        what = f"{name}({source} -> {target})"
        if name not in ("MoveFileExA", "MoveFileExW"):
            self.problems.append(f"{what}: a replace must be MoveFileExA with write-through")
            return
        if numbers[-1] != MOVE_REPLACE_EXISTING_WRITE_THROUGH:
            self.problems.append(f"{what}: flags {numbers[-1]:#x}, not REPLACE_EXISTING | WRITE_THROUGH")
        source, target = source.lower(), target.lower()
        if source not in self.written:
            self.problems.append(f"{what}: the file moved was not written in this story")
        if self.unflushed.get(source):
            self.problems.append(f"{what}: the file moved holds writes never flushed")
        if self.open_paths.get(source, 0):
            self.problems.append(f"{what}: the file moved is still open")
        if not retval:
            self.problems.append(f"{what}: failed")
            return
        self.unflushed[target] = self.unflushed.pop(source, False)
        if source in self.written:
            self.written.add(target)
        # The resume index lies in the version folder: replacing it records parts as done.
        if target.endswith("\\pkgindex.txt") and target.rsplit("\\", 1)[0] != self.home:
            self.index_records += 1
            for path, pending in self.unflushed.items():
                if pending and path != source:
                    self.problems.append(f"{what}: recorded while {path} holds writes never flushed")


def check(log):
    """The stories in the log, each with what it found."""
    stories, story = [], None
    for name, strings, numbers, retval in events(log):
        if name == "OutputDebugStringA":
            text = strings[0] if strings else ""
            if text.startswith("power-cut story: "):
                title, home = text[len("power-cut story: "):].split(" | ")
                story = Story(title, home.lower())
                stories.append(story)
            elif text == "power-cut end":
                story = None
        elif story is not None:
            story.call(name, strings, numbers, retval)
    return stories


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("program")
    parser.add_argument("--wineprefix")
    parser.add_argument("--log", help="also keep the relay log here")
    args = parser.parse_args()
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES=os.environ.get("WINEDLLOVERRIDES", "mscoree,mshtml="))
    if args.wineprefix:
        env["WINEPREFIX"] = args.wineprefix
    # The relay channel logs only the file calls (the setting matters only while it is on).
    subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
                    "/d", ";".join(CALLS), "/f"], env=env, check=True, capture_output=True)
    try:
        run = subprocess.run(["wine", args.program], env=dict(env, WINEDEBUG="+relay"), capture_output=True,
                             text=True, errors="replace")
    finally:
        subprocess.run(["wine", "reg", "delete", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/f"], env=env,
                       capture_output=True)
    if args.log:
        with open(args.log, "w") as out:
            out.write(run.stderr)
    print(run.stdout, end="")
    stories = check(run.stderr)
    failed = run.returncode != 0 or len(stories) != 5
    for story in stories:
        print(f"{story.name}: {story.moves} replaces, {story.index_records} resume-index records, "
              f"{story.flushes} flushes, {len(story.problems)} problems")
        for problem in story.problems[:5]:
            print("    " + problem)
        failed = failed or bool(story.problems) or story.moves == 0
    if len(stories) != 5:
        print(f"expected 5 stories in the log, found {len(stories)} (exit status {run.returncode})")
    print("FAILED" if failed else "every replace flushed, moved with write-through; nothing recorded before flushed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
