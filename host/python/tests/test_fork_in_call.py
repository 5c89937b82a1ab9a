"""A fork from inside a call (a callback that forks): the call returns in
both processes, and each can call again. The child leaves by an ordinary
exit, as a program that forks to work on does."""
from conftest import SAMPLE, run_fresh


def test_a_call_that_forks_returns_in_both_processes():
    out = run_fresh(f"import efi, os, sys\nm = efi.load({str(SAMPLE)!r})\n", """
        parent = os.getpid()
        statuses = []
        def forking(x):
            pid = os.fork()
            if pid == 0:
                return x + 1
            statuses.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
            return x
        efi.register("py_fork", forking)
        efi.register("py_double", lambda x: 2 * x)
        r = m.sample_apply("py_fork", 1.0)
        if os.getpid() != parent:
            print("child", r, m.sample_add(1.0, 2.0), m.sample_apply("py_double", 2.0), flush=True)
            sys.exit(0)
        print("parent", r, statuses, m.sample_add(2.0, 2.0))
    """, timeout=60)
    assert out.split("\n") == ["child 2.0 3.0 4.0", "parent 1.0 [0] 4.0"]
