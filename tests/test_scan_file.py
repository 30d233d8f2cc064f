"""Opening and reading files: errors, special files, files that change under the scan,
and the interpreter lock."""

import errno
import json
import os
import pathlib
import random
import subprocess
import sys
import threading
import time

import pytest

from sessionrows import extract_claude, extract_codex

BOTH = pytest.mark.parametrize("extract", [extract_claude, extract_codex])


def os_message(code):
    return f"{os.strerror(code)} (os error {code})"


@BOTH
@pytest.mark.parametrize(
    "path, message",
    [
        ("/no/such/file.jsonl", os_message(errno.ENOENT)),
        ("", os_message(errno.ENOENT)),
        ("bad\0name.jsonl", "file name contained an unexpected NUL byte"),
        ("/", os_message(errno.ENODEV)),  # a directory cannot be read as a log
        ("/dev/null", os_message(errno.ENODEV)),
    ],
)
def test_open_failures_raise_plain_oserror(extract, path, message):
    with pytest.raises(OSError) as info:
        extract(path)
    assert type(info.value) is OSError
    assert str(info.value) == message
    assert info.value.errno is None and info.value.filename is None


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files regardless of their mode")
def test_unreadable_file(tmp_path):
    path = tmp_path / "secret.jsonl"
    path.write_text("{}\n")
    path.chmod(0)
    with pytest.raises(OSError, match=r"^" + os_message(errno.EACCES).replace("(", r"\(").replace(")", r"\)") + "$"):
        extract_claude(str(path))


@BOTH
@pytest.mark.parametrize("content", [b"", b"\n", b"\n\n\n", b"   \n\t\n", b"\x00\xff\xfe garbage"])
def test_files_without_usable_lines_give_no_rows(tmp_path, extract, content):
    path = tmp_path / "log.jsonl"
    path.write_bytes(content)
    assert extract(str(path)) == []


def test_fifo_does_not_hang(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    started = time.monotonic()
    with pytest.raises(OSError, match=r"\(os error 19\)$"):
        extract_claude(str(fifo))
    assert time.monotonic() - started < 10


def claude_line(i, text="x" * 200):
    return json.dumps(
        {"type": "user", "message": {"role": "user", "content": f"{i} {text}"}, "timestamp": "t", "cwd": "/w",
         "sessionId": "s"}
    )


TRUNCATION_SCRIPT = r"""
import sys, threading, time
from sessionrows import extract_claude
path = sys.argv[1]
full = open(path, "rb").read()
stop = threading.Event()

def shrink_and_regrow():
    while not stop.is_set():
        with open(path, "r+b") as f:
            f.truncate(len(full) // 3)
            f.seek(0, 2)
            f.write(full[len(full) // 3:])
        time.sleep(0.002)

writer = threading.Thread(target=shrink_and_regrow)
writer.start()
try:
    counts = [len(extract_claude(path)) for _ in range(200)]
finally:
    stop.set()
    writer.join()
print(max(counts))
"""


def test_file_truncated_while_it_is_read_does_not_kill_the_process(tmp_path):
    path = tmp_path / "rewritten.jsonl"
    lines = [claude_line(i) for i in range(20000)]  # about 5 MB
    path.write_text("\n".join(lines) + "\n")
    proc = subprocess.run([sys.executable, "-c", TRUNCATION_SCRIPT, str(path)], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr  # a SIGBUS would show as -7
    assert int(proc.stdout) <= len(lines)


def test_the_interpreter_lock_is_released_during_the_scan(tmp_path):
    # Lines that pass the byte test and are parsed, but yield no row: the call's time
    # is spent in the scan, not in building Python objects.
    inner = json.dumps({"type": "progress", "data": {"type": "user", "blob": "y" * 4000}})
    path = tmp_path / "big.jsonl"
    path.write_text((inner + "\n") * 20000)  # about 80 MB of parsed lines

    count = 0
    stop = threading.Event()

    def spin():
        nonlocal count
        while not stop.is_set():
            count += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        time.sleep(0.05)
        before = count
        rows = extract_claude(str(path))
        during = count - before
    finally:
        stop.set()
        spinner.join()
    assert rows == []
    # With the lock held for the whole scan the spinner could not run at all.
    assert during > 1000


def test_concurrent_calls_match_serial_calls(tmp_path):
    # Scans share no state: many threads reading the same and different files at
    # once get exactly the rows of a call made alone (and give the thread
    # sanitizer something to look at).
    data = pathlib.Path(__file__).parent / "data"
    big = tmp_path / "big.jsonl"
    big.write_text("\n".join(claude_line(i) for i in range(3000)) + "\n")
    jobs = [(extract_claude, str(big), False), (extract_claude, str(data / "claude_sample.jsonl"), True),
            (extract_codex, str(data / "codex_sample.jsonl"), True), (extract_codex, str(big), False)]
    expected = [fn(path, tools) for fn, path, tools in jobs]
    results = {}

    def worker(n):
        results[n] = [[fn(path, tools) for fn, path, tools in jobs] for _ in range(5)]

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert sorted(results) == list(range(8))
    assert all(rounds == [expected] * 5 for rounds in results.values())


@pytest.mark.parametrize("extract", [extract_claude, extract_codex])
def test_file_appended_while_it_is_read_gives_a_prefix_of_its_rows(tmp_path, extract):
    # A log that its writer is still appending to, in pieces that tear lines: each
    # call sees the rows of the complete lines so far, in order, and never a row made
    # from half a line.
    claude = extract is extract_claude
    lines = [
        (claude_line(i) if claude else json.dumps(
            {"timestamp": "t", "type": "response_item", "payload": {"type": "message", "content": f"{i} " + "x" * 200}}))
        + "\n"
        for i in range(3000)
    ]
    data = "".join(lines).encode()
    path = tmp_path / "growing.jsonl"
    path.write_bytes(b"")
    stop = threading.Event()

    def writer():
        with open(path, "ab", buffering=0) as f:
            for start in range(0, len(data), 997):  # 997 bytes: most writes end mid-line
                if stop.is_set():
                    return
                f.write(data[start:start + 997])
                time.sleep(0.0002)

    thread = threading.Thread(target=writer)
    thread.start()
    seen = []
    try:
        while thread.is_alive() and len(seen) < 10000:
            seen.append(extract(str(path)))
    finally:
        stop.set()
        thread.join()
    final = extract(str(path))
    assert len(final) == len(lines)
    assert len({len(rows) for rows in seen}) > 1  # the calls did overlap the writes
    for rows in seen:
        assert rows == final[:len(rows)]


def test_lines_across_read_chunk_boundaries(tmp_path):
    # The reader takes the file in 1 MiB chunks and grows its buffer for longer
    # lines: lines that end just before, on and just after a chunk boundary, and
    # lines of several chunks, all come out whole and in order.
    mib = 1 << 20
    overhead = len(claude_line(0, ""))
    # The first line and its line feed fill the first chunk exactly.
    sizes = [mib - overhead - 1, mib - overhead, mib - overhead + 1, 3, 2 * mib + 17, 1, mib // 2, 4 * mib]
    sizes += [random.Random(7).randrange(1, 300_000) for _ in range(40)]
    texts = [chr(ord("a") + i % 26) * size for i, size in enumerate(sizes)]
    path = tmp_path / "chunks.jsonl"
    path.write_text("\n".join(claude_line(i, t) for i, t in enumerate(texts)))  # no final line feed
    rows = extract_claude(str(path))
    assert [row[1] for row in rows] == [f"{i} {t}" for i, t in enumerate(texts)]
