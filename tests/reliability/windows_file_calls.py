#!/usr/bin/env python3
"""The power-cut stories on Windows, read from the program's calls to Windows.

Runs power_cut_calls.exe under Wine with the relay channel on for the file calls alone (or reads
such a log), cuts the log into stories at the markers the program sends, and checks in each story:
  - every replace is MoveFileExA(..., MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH), and
    no other move or replace call is made;
  - the file moved was written in the story, flushed (FlushFileBuffers) after its last write and
    closed before the move;
  - after each folder created and each replace into a folder, that folder is flushed before
    anything else changes: opened (CreateFileA) with FILE_FLAG_BACKUP_SEMANTICS, then
    FlushFileBuffers on that handle;
  - when the resume index or the home folder's index is replaced, no part's file written in the
    story holds a write that was not flushed: a part is never recorded before its data is on the
    disk;
  - no part recorded done is deleted: those the story began with (its marker names them) and
    those recorded since (flushed, then the resume index replaced);
  - the installer (corvane.exe) is never opened for writing under its own name: it is written
    under a temporary name, flushed and moved.
Wine's own durability is not Windows': this checks what the program asks of Windows, no more.

    windows_file_calls.py PATH/TO/power_cut_calls.exe [--wineprefix DIR] [--log FILE]
    windows_file_calls.py --from-log FILE         checks a relay log made before, runs nothing
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
FILE_FLAG_BACKUP_SEMANTICS = 0x02000000
INVALID_HANDLE = (0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF)
INDEX, INSTALLER, RELEASE = "pkgindex.txt", "corvane.exe", "pkgrelease.txt"
STORY_MARK, END_MARK = "power-cut story: ", "power-cut end"
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


def folder_of(path):
    """The folder that holds the path, as the program names folders: no trailing backslash."""
    return path.rsplit("\\", 1)[0] if "\\" in path else ""


def base_name(path):
    return path.rsplit("\\", 1)[-1]


class Story:
    def __init__(self, name, home, done=()):
        self.name = name
        self.home = home
        self.handles = {}     # open handle: path
        self.unflushed = {}   # path: a write since its last flush
        self.open_paths = {}  # path: handles still open
        self.written = set()
        self.folders = {}     # handle of a folder opened with backup semantics: the folder
        self.changed_folders = {}  # folder: the change made in it that no flush has made last yet
        self.recorded = {f"{home}\\{part}".lower() for part in done}  # parts recorded done
        self.moves = self.index_records = self.flushes = self.folder_flushes = self.folder_flushes_refused = 0
        self.problems = []

    def is_part(self, path):
        """A part's file: in a version folder, and none of the program's own files."""
        name = base_name(path)
        return (folder_of(path) != self.home and name not in (INDEX, INSTALLER, RELEASE)
                and not name.endswith((".tmp", ".verified")))

    def change(self, what):
        """A call that changes the disk: any folder change before it must have been flushed."""
        for folder, earlier in self.changed_folders.items():
            self.problems.append(f"{earlier} is not followed by a flush of its folder {folder} (next: {what})")
        self.changed_folders.clear()

    def folder_changed(self, path, what):
        self.changed_folders[folder_of(path).rstrip("\\")] = what

    def end(self):
        self.change("the story's end")

    def call(self, name, strings, numbers, retval):
        if name.startswith("CreateFile") and retval not in INVALID_HANDLE:
            path = strings[0].lower()
            if numbers[5] & FILE_FLAG_BACKUP_SEMANTICS:
                self.folders[retval & 0xFFFFFFFF] = path.rstrip("\\")
            elif numbers[1] & GENERIC_WRITE:
                self.change(f"{name}({path})")
                if base_name(path) == INSTALLER:
                    self.problems.append(f"{name}({path}): the installer is written in place, not under a temporary "
                                         "name that is flushed and moved")
                self.handles[retval & 0xFFFFFFFF] = path
                self.open_paths[path] = self.open_paths.get(path, 0) + 1
        elif name == "WriteFile" and retval:
            path = self.handles.get(numbers[0])
            if path:
                self.change(f"WriteFile({path})")
                self.unflushed[path] = True
                self.written.add(path)
        elif name == "FlushFileBuffers":
            folder = self.folders.get(numbers[0])
            if folder is not None:
                # What the program asks counts; whether the file system could flush a folder is
                # its own affair (the program goes on either way).
                self.changed_folders.pop(folder, None)
                self.folder_flushes += 1
                self.folder_flushes_refused += 0 if retval else 1
            elif retval and self.handles.get(numbers[0]):
                self.unflushed[self.handles[numbers[0]]] = False
                self.flushes += 1
        elif name == "CloseHandle" and retval:
            self.folders.pop(numbers[0], None)
            path = self.handles.pop(numbers[0], None)
            if path:
                self.open_paths[path] -= 1
        elif name.startswith("CreateDirectory") and retval:
            path = strings[0].lower()
            self.change(f"{name}({path})")
            self.folder_changed(path, f"{name}({path})")
        elif name.startswith("DeleteFile") and retval:
            path = strings[0].lower()
            self.change(f"{name}({path})")
            if path in self.recorded:
                self.problems.append(f"{name}({path}): a part recorded done is deleted")
        elif name.startswith("Move") or name.startswith("Replace"):
            self.move(name, strings, numbers, retval)

    def move(self, name, strings, numbers, retval):
        self.moves += 1
        source, target = (strings + ["", ""])[:2]
        what = f"{name}({source} -> {target})"
        self.change(what)
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
        self.folder_changed(target, what)
        self.unflushed[target] = self.unflushed.pop(source, False)
        if source in self.written:
            self.written.add(target)
        if base_name(target) != INDEX:
            return
        # The resume index lies in the version folder: replacing it records the parts flushed so
        # far as done. The home folder's index leads the next start to its version. Neither may
        # reach the disk ahead of a part's data; a temporary file, such as a join that stopped at
        # a damaged part, vouches for nothing.
        for path, pending in self.unflushed.items():
            if pending and path != source and self.is_part(path):
                self.problems.append(f"{what}: recorded while {path} holds writes never flushed")
        if folder_of(target) != self.home:
            self.index_records += 1
            self.recorded |= {path for path in self.written if self.is_part(path) and not self.unflushed.get(path)}


def check(log):
    """The stories in the log, each with what it found."""
    stories, story = [], None
    for name, strings, numbers, retval in events(log):
        if name == "OutputDebugStringA":
            text = strings[0] if strings else ""
            if text.startswith(STORY_MARK):
                # "power-cut story: <name> | <home> | done: <version>\<part>,..."
                title, home, *rest = text[len(STORY_MARK):].split(" | ")
                done = rest[0][len("done: "):].split(",") if rest and rest[0] != "done: " else []
                story = Story(title, home.lower(), done)
                stories.append(story)
            elif text == END_MARK and story is not None:
                story.end()
                story = None
        elif story is not None:
            story.call(name, strings, numbers, retval)
    return stories


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("program", nargs="?")
    parser.add_argument("--wineprefix")
    parser.add_argument("--log", help="also keep the relay log here")
    parser.add_argument("--from-log", help="check this relay log instead of running the program")
    args = parser.parse_args()
    if args.from_log:
        with open(args.from_log, errors="replace") as log:
            return report(check(log.read()), expected=None, status=0)
    if not args.program:
        parser.error("name the program to run, or a log to read (--from-log)")
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
    # The program prints one line per story it ran.
    expected = len(re.findall(r"^.+: (?:ran|FAILED) \(start-up", run.stdout, re.MULTILINE))
    return report(check(run.stderr), expected, run.returncode)


def report(stories, expected, status):
    """Prints what each story showed; 1 when any check failed, or the stories are not all there."""
    failed = status != 0 or not stories or (expected is not None and len(stories) != expected)
    for story in stories:
        refused = f" ({story.folder_flushes_refused} refused)" if story.folder_flushes_refused else ""
        print(f"{story.name}: {story.moves} replaces, {story.index_records} resume-index records, "
              f"{story.flushes} flushes, {story.folder_flushes} folder flushes{refused}, "
              f"{len(story.problems)} problems")
        for problem in story.problems[:5]:
            print("    " + problem)
        failed = failed or bool(story.problems) or story.moves == 0
    if not stories or (expected is not None and len(stories) != expected):
        print(f"expected {expected or 'some'} stories in the log, found {len(stories)} (exit status {status})")
    print("FAILED" if failed else "every replace flushed, moved with write-through, its folder flushed; nothing "
          "recorded before flushed; no done part deleted; the installer only moved into place")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
