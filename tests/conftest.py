import os
import subprocess
import sys
import textwrap

import pytest

import vantoro


@pytest.fixture
def bm():
    return vantoro.BM25()


def fault_type():
    """The FaultException class, obtained by provoking one fault."""
    try:
        vantoro.BM25().search([], 1)
    except BaseException as error:  # noqa: B902 - it derives from BaseException
        return type(error)
    raise AssertionError("search on an unfrozen index did not fail")


# Python source that defines native_bytes(): the bytes the process has
# allocated natively (AddressSanitizer's count under it, else glibc's), for
# probes run with run_python.
NATIVE_BYTES = r'''
import ctypes
_libc = ctypes.CDLL(None)
try:  # under AddressSanitizer its own count; else glibc's
    native_bytes = _libc.__sanitizer_get_current_allocated_bytes
    native_bytes.restype = ctypes.c_size_t
except AttributeError:
    class _MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
    _libc.mallinfo2.restype = _MallInfo2
    def native_bytes():
        info = _libc.mallinfo2()
        return info.uordblks + info.hblkhd
'''


def run_python(code, env=None, stdout=subprocess.PIPE, args=(), **kwargs):
    """Runs `code` in a fresh interpreter, with `args` as sys.argv[1:], and
    returns the completed process."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        env=full_env,
        stdout=stdout,
        stderr=subprocess.PIPE,
        text=True,
        timeout=120,
        **kwargs,
    )


def pytest_sessionstart(session):
    # The sanitizer run must exercise the sanitized build, not an installed one.
    if os.environ.get("VANTORO_EXPECT_SANITIZED"):
        assert "asan-site" in vantoro.__file__, vantoro.__file__
