"""Helpers shared by the benchmarks: output silencing, timing, memory and tables."""

from __future__ import annotations

import contextlib
import ctypes
import gc
import os
import re
import sys
import time


@contextlib.contextmanager
def fd1_to_devnull():
    """Sends file descriptor 1 to /dev/null for the duration of the block.

    vantoro writes its progress lines with write(2) on descriptor 1 itself,
    bypassing sys.stdout, so redirecting sys.stdout would not catch them.
    """
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


@contextlib.contextmanager
def fds_to_devnull(*fds):
    """Sends the given file descriptors to /dev/null for the duration of the block
    (native libraries that log with write(2) bypass sys.stdout and sys.stderr)."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(fd) for fd in fds]
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        for fd in fds:
            os.dup2(devnull, fd)
        yield
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        for fd, copy in zip(fds, saved):
            os.dup2(copy, fd)
            os.close(copy)
        os.close(devnull)


def pool_env(threads: int) -> dict:
    """The environment of a subprocess whose pool has `threads` threads."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    return env


def timed(fn, *args, **kwargs):
    """Runs fn once; returns (seconds, result)."""
    start = time.perf_counter()
    result = fn(*args, **kwargs)
    return time.perf_counter() - start, result


def percentile(values, q: float) -> float:
    """The q-th percentile (0..100) of values, by linear interpolation."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    pos = (len(ordered) - 1) * q / 100.0
    lo = int(pos)
    hi = min(lo + 1, len(ordered) - 1)
    return ordered[lo] + (ordered[hi] - ordered[lo]) * (pos - lo)


def latencies(search, queries, budget_s: float = 10.0, min_queries: int = 5, warmup: int = 2):
    """Per-query wall times of search(q) over ``queries``, stopping early once
    ``budget_s`` is spent (but never before ``min_queries``). Returns the list of times."""
    for q in queries[:warmup]:
        search(q)
    times = []
    spent = 0.0
    for q in queries:
        start = time.perf_counter()
        search(q)
        elapsed = time.perf_counter() - start
        times.append(elapsed)
        spent += elapsed
        if spent > budget_s and len(times) >= min_queries:
            break
    return times


# --- memory ---------------------------------------------------------------

def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        match = re.search(field + r":\s+(\d+)\s+kB", f.read())
    return int(match.group(1)) if match else -1


def rss_bytes() -> int:
    """Current resident set size of this process."""
    return _status_kib("VmRSS") * 1024


def peak_rss_bytes() -> int:
    """Peak resident set size since the process started or since reset_peak_rss()."""
    return _status_kib("VmHWM") * 1024


def reset_peak_rss() -> bool:
    """Resets VmHWM to the current RSS (Linux: writing 5 to /proc/self/clear_refs).
    Returns False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return False
    return peak_rss_bytes() <= rss_bytes() + 64 * 1024


# --- output ---------------------------------------------------------------

def release_free_memory() -> None:
    """Collects garbage and hands the allocator's free memory back to the
    system, so that the next measurement starts from what is really in use."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def fmt_time(seconds: float) -> str:
    if seconds != seconds:
        return "-"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if seconds < 1.0:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_rate(per_second: float, unit: str) -> str:
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if per_second >= scale:
            return f"{per_second / scale:.2f} {prefix}{unit}/s"
    return f"{per_second:.1f} {unit}/s"


def fmt_ratio(x: float) -> str:
    if x != x:
        return "-"
    return f"{x:.1f}x" if x >= 10 else f"{x:.2f}x"


def print_table(headers, rows) -> None:
    """Prints rows (lists of str) under headers with aligned columns."""
    cells = [list(map(str, headers))] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    for n, row in enumerate(cells):
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths))))
        if n == 0:
            print("  ".join("-" * w for w in widths))
    sys.stdout.flush()
