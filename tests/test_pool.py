"""The process-wide worker pool of batch_search: forked children and a pool
whose threads cannot all be started."""
import os
import textwrap

import pytest

from conftest import run_python

SETUP = """
import os, signal, sys
import vantoro
b = vantoro.BM25()
for i in range(200):
    b.add_document("d%d" % i, ["t%d" % (i % 7), "t%d" % (i % 11), "common"])
QUERIES = [["t%d" % i, "common"] for i in range(12)]
def answer():
    return [sorted(r) for r in b.batch_search(QUERIES, 5)]
def threads():
    return len(os.listdir("/proc/self/task"))
def limit_address_space():
    # Room for about 25 more thread stacks of 8 MiB.
    import resource
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + 200 * 2**20, resource.RLIM_INFINITY))
"""
NO_SANITIZER = pytest.mark.skipif(bool(os.environ.get("VANTORO_EXPECT_SANITIZED")),
                                  reason="the sanitizer runtime aborts when a thread's memory cannot be mapped")


def run(body, **env):
    result = run_python(SETUP + textwrap.dedent(body), env=env)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


class TestFork:
    def test_forked_children_get_a_pool_of_the_configured_size(self):
        # The parent's pool threads do not exist in a child: it starts its
        # own on its first batch, also a child of a child. Each child forks
        # right after its pool starts, which hangs the next one if a new
        # thread still held a lock of its start-up. A child that hangs is
        # ended by the alarm.
        out = run("""
            expected = answer()
            assert threads() == 4
            def child(depth):
                signal.alarm(30)
                ok = threads() == 1 and answer() == expected and threads() == 4
                if ok and depth < 4:
                    pid = os.fork()
                    if pid == 0:
                        child(depth + 1)
                    ok = os.waitpid(pid, 0)[1] == 0
                os._exit(0 if ok else 1)
            pid = os.fork()
            if pid == 0:
                child(1)
            print(os.waitpid(pid, 0)[1], answer() == expected, threads())
        """, RAYON_NUM_THREADS="3")
        assert out == ["0", "True", "4"]

    def test_multiprocessing_fork_workers_search(self):
        out = run("""
            import multiprocessing
            def work(i):
                return answer()[i]
            expected = answer()
            with multiprocessing.get_context("fork").Pool(2) as pool:
                got = pool.map_async(work, range(len(QUERIES))).get(timeout=30)
            print(got == expected)
        """, RAYON_NUM_THREADS="2")
        assert out == ["True"]

    @NO_SANITIZER
    def test_child_of_a_process_whose_pool_failed_fails_the_same_way(self):
        out = run("""
            limit_address_space()
            def attempt():
                try:
                    answer()
                except BaseException as error:
                    return str(error).startswith("The global thread pool has not been initialized.")
                return False
            first = attempt()
            pid = os.fork()
            if pid == 0:
                signal.alarm(30)
                os._exit(0 if attempt() else 1)
            print(first, os.waitpid(pid, 0)[1])
        """, RAYON_NUM_THREADS="1000")
        assert out == ["True", "0"]


@NO_SANITIZER
def test_pool_that_cannot_start_leaves_no_thread_behind():
    # An address-space limit lets about 25 of the 1000 thread stacks be
    # mapped; the pool then fails, and its started threads must be gone
    # (their stacks unmapped) for a new thread to start.
    result = run_python(SETUP + """
import threading
limit_address_space()
messages = []
for attempt in range(2):
    try:
        answer()
    except BaseException as error:
        messages.append(str(error))
print(threads())
started = []
thread = threading.Thread(target=lambda: started.append(1))
thread.start()
thread.join()
print(started)
print(messages[0] == messages[1], file=sys.stderr)
print(repr(messages[0]), file=sys.stderr)
""", env={"RAYON_NUM_THREADS": "1000"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1", "[1]"]
    assert "True\n'The global thread pool has not been initialized. Resource temporarily unavailable'\n" in result.stderr
