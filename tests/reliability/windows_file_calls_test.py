#!/usr/bin/env python3
"""windows_file_calls.py against small relay logs made here: one story as the program tells it
to Windows passes, and each fault the checks are there for fails with its own words."""
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().with_name("windows_file_calls.py")
HOME = r"C:\users\me\Temp\home"
VERSION = HOME + r"\7.2"
GENERIC_WRITE, BACKUP_SEMANTICS = 0x40000000, 0x02000000


class Log:
    """A relay log in Wine's words, one call at a time; handles are numbered as they open."""

    def __init__(self):
        self.lines, self.next_handle = [], 0x40

    def call(self, name, args, retval):
        self.lines += [f"0024:Call KERNEL32.{name}({args}) ret=140001000",
                       f"0024:Ret  KERNEL32.{name}() retval={retval:08x} ret=140001000"]

    @staticmethod
    def text(value):
        return '00c00000 "' + value.replace("\\", "\\\\") + '"'

    def mark(self, note):
        self.call("OutputDebugStringA", self.text(note), 0)

    def open(self, path, access=GENERIC_WRITE, flags=0x80):
        handle, self.next_handle = self.next_handle, self.next_handle + 4
        self.call("CreateFileA", f"{self.text(path)},{access:08x},00000007,00000000,00000002,{flags:08x},00000000",
                  handle)
        return handle

    def write(self, path, then_close=True):
        handle = self.open(path)
        self.call("WriteFile", f"{handle:08x},0021cda0,00000075,0021cd9c,00000000", 1)
        if then_close:
            self.close(handle)
        return handle

    def close(self, handle):
        """Flushed, then closed."""
        self.call("FlushFileBuffers", f"{handle:08x}", 1)
        self.call("CloseHandle", f"{handle:08x}", 1)

    def flush_folder(self, folder):
        handle = self.open(folder, flags=BACKUP_SEMANTICS)
        self.call("FlushFileBuffers", f"{handle:08x}", 1)
        self.call("CloseHandle", f"{handle:08x}", 1)

    def make_folder(self, folder, flush=True):
        self.call("CreateDirectoryA", f"{self.text(folder)},00000000", 1)
        if flush:
            self.flush_folder(folder.rsplit("\\", 1)[0])

    def replace(self, target, flush=True):
        self.write(target + ".tmp")
        self.call("MoveFileExA", f"{self.text(target + '.tmp')},{self.text(target)},00000009", 1)
        if flush:
            self.flush_folder(target.rsplit("\\", 1)[0])

    def delete(self, path):
        self.call("DeleteFileA", self.text(path), 1)


def story(fault=None):
    """A resume: part 1 done before the run; part 2 fetched and recorded; the join. `fault`
    leaves out or adds the one thing a check is there for."""
    log = Log()
    log.mark(rf"power-cut story: resume | {HOME} | done: 7.2\corvane.part001")
    log.replace(HOME + r"\pkgindex.txt")
    log.make_folder(VERSION, flush=fault != "folder created, not flushed")
    part = log.write(VERSION + r"\corvane.part002", then_close=False)
    if fault == "home index over an unflushed part":
        log.replace(HOME + r"\pkgindex.txt")  # the part is flushed only after it
    log.close(part)
    log.replace(VERSION + r"\pkgindex.txt", flush=fault != "replace, folder not flushed")
    if fault == "done part deleted":
        log.delete(VERSION + r"\corvane.part002")
    if fault == "part done before the run deleted":
        log.delete(VERSION + r"\corvane.part001")
    if fault == "installer written in place":
        log.write(VERSION + r"\corvane.exe")
    else:
        log.replace(VERSION + r"\corvane.exe")
    log.mark("power-cut end")
    return "\n".join(log.lines) + "\n"


class WindowsFileCallsTest(unittest.TestCase):
    def test_each_check_fails_on_its_fault_and_passes_the_story_as_told(self):
        expected = {
            None: None,
            "folder created, not flushed": "CreateDirectoryA(c:\\users\\me\\temp\\home\\7.2) is not followed by a "
                                           "flush of its folder c:\\users\\me\\temp\\home",
            "replace, folder not flushed": "7.2\\pkgindex.txt) is not followed by a flush of its folder "
                                           "c:\\users\\me\\temp\\home\\7.2",
            "done part deleted": "corvane.part002): a part recorded done is deleted",
            "part done before the run deleted": "corvane.part001): a part recorded done is deleted",
            "home index over an unflushed part": "home\\pkgindex.txt): recorded while "
                                                 "c:\\users\\me\\temp\\home\\7.2\\corvane.part002 holds writes",
            "installer written in place": "7.2\\corvane.exe): the installer is written in place",
        }
        with tempfile.TemporaryDirectory() as folder:
            for fault, words in expected.items():
                with self.subTest(fault=fault):
                    log = Path(folder) / "relay.log"
                    log.write_text(story(fault))
                    run = subprocess.run([sys.executable, str(SCRIPT), "--from-log", str(log)], capture_output=True,
                                         text=True)
                    if words is None:
                        self.assertEqual(0, run.returncode, run.stdout + run.stderr)
                        self.assertIn("3 replaces, 1 resume-index records, 4 flushes, 4 folder flushes, 0 problems",
                                      run.stdout)
                    else:
                        self.assertEqual(1, run.returncode, run.stdout + run.stderr)
                        self.assertIn(words, run.stdout)


if __name__ == "__main__":
    unittest.main()
