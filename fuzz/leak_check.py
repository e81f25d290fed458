"""Reads the LeakSanitizer reports that the Python tests under AddressSanitizer
left behind (LSAN log files PREFIX.<pid>, one per process) and fails on every
leak whose allocation passed through the extension or the core library.

    leak_check.py PREFIX...

A leak record counts when any frame of its allocation stack lies in the
extension module or the core library (the module kestrune*.so, a kestrune::
function, or a source file of src/ or binding/); a stack made only of
interpreter, C library, sanitizer and other modules' frames (numpy's module
initialisation, say) is not ours and is ignored. LeakSanitizer suppressions
match a stack when any one frame matches, so a suppression of the interpreter
would hide the extension's leaks too; this check looks at all frames. Any
other sanitizer report in the files (a memory error) fails too. Exit status 0
when nothing counts.
"""
import glob
import re
import sys

# The sanitizer runtime's own sources are ../../../../src/libsanitizer/...
OURS = re.compile(r"kestrune|\.\./src/(?!libsanitizer/)|\.\./binding/")
FRAME = re.compile(r"^\s+#\d+ ")
LEAK = re.compile(r"^(Direct|Indirect) leak of (\d+) byte")


def records(text):
    """(header, frames) for every leak record of one report file."""
    header, frames = None, []
    for line in text.splitlines():
        if LEAK.match(line):
            if header:
                yield header, frames
            header, frames = line, []
        elif header and FRAME.match(line):
            frames.append(line)
        elif header and not line.strip() and frames:
            yield header, frames
            header, frames = None, []
    if header:
        yield header, frames


def main(prefixes):
    counted = elsewhere = 0
    failed = False
    for path in sorted(p for prefix in prefixes for p in glob.glob(prefix + ".*")):
        with open(path, errors="replace") as f:
            text = f.read()
        if re.search(r"ERROR: AddressSanitizer|runtime error:", text):
            print(f"leak check: memory error report in {path}:\n{text}")
            failed = True
        for header, frames in records(text):
            if any(OURS.search(fr) for fr in frames):
                counted += 1
                print(f"leak check: {path}: {header}\n" + "\n".join(frames))
            else:
                elsewhere += 1
    print(f"leak check: {counted} leak(s) through the extension, "
          f"{elsewhere} elsewhere (interpreter, other modules) ignored")
    return 1 if failed or counted else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: leak_check.py PREFIX...")
    sys.exit(main(sys.argv[1:]))
