"""Isolated modules from Python: `efi.load(path, isolated=True)` gives what
the module gives in process, and a crash or a time-out of its code is a
ModuleCrash, after which the next call runs. A module is loaded one way per
process, so each case runs in an interpreter of its own, bounded in time."""
import os

import pytest

import efi
from conftest import DESCRIBED, ODD, SAMPLE, run_fresh

# Calls on every road, as a list of what each gave (errors included);
# `s` is the sample, `o` the module of odd declarations.
TABLE = """
def outcome(f, *args):
    try:
        r = f(*args)
        return r.tolist() if hasattr(r, "tolist") else r
    except efi.ProcessorFault as e:
        return ("fault", e.message, e.code)
    except efi.ModuleException as e:
        return ("module", e.message, e.type)
    except efi.WorksheetError as e:
        return ("error", e.message, e.argument)
    except (KeyError, RuntimeError) as e:
        return ("python", repr(e))

def again(x):
    return s.sample_apply("sample_sqrt", x) * 2

def refuses(x):
    raise KeyError("the callback's own")

efi.register("py_again", again)
efi.register("py_refuses", refuses)
big = [[1.0 / (r * 300 + c + 1) for c in range(300)] for r in range(300)]
table = [
    outcome(s.sample_add, 1 + 2j, 3 - 4j),
    outcome(s.sample_scale, 2, [[1, 2], [3, 4 - 1j]]),
    [x.hex() for x in s.sample_scale(0.1, big).ravel()[::997]],
    outcome(s.sample_upper, "caf\\u00e9"),
    outcome(s.sample_path, "data.txt"),
    outcome(s.sample_sqrt, -1),
    outcome(s.sample_divide, 1, 0),
    outcome(s.sample_add, [[1]], 2),
    outcome(s.sample_apply, "py_again", 81),
    outcome(s.sample_apply, "py_refuses", 1),
    outcome(s.sample_apply, "nowhere", 1),
    outcome(o.t_masked, 0, 0, 4),
    outcome(o.t_throw, 0),
]
"""


def run(script, timeout=120):
    # In the sanitizer build the workers report these signals and exit with
    # a status of their own; here they end as a module's crash ends them.
    asan = os.environ.get("ASAN_OPTIONS", "") + ":handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_abort=0"
    prologue = f"import efi, os, pickle\nSAMPLE = {str(SAMPLE)!r}\nODD = {str(ODD)!r}\n"
    return run_fresh(prologue, script, timeout, ASAN_OPTIONS=asan + ":detect_leaks=0")


def test_an_isolated_module_answers_as_in_process(sample, odd):
    scope = {"efi": efi, "s": sample, "o": odd}
    exec(TABLE, scope)
    isolated = run("s = efi.load(SAMPLE, isolated=True)\no = efi.load(ODD, isolated=True)\n" + TABLE +
                   "print(repr(table))")
    assert isolated == repr(scope["table"])
    efi.register("py_again", None)
    efi.register("py_refuses", None)


def test_an_isolated_module_shows_the_same_names_and_help():
    if not DESCRIBED.exists():
        pytest.skip(f"{DESCRIBED} not built")
    shown = """
        import inspect
        m = efi.load({path!r}, isolated={isolated})
        print(repr([(n, str(inspect.signature(f)), f.__doc__) for n, f in sorted(m.functions.items())]))
        print(m.d_ibeta(2, x=0.5, b=3), m.d_ibeta.__doc__ == m.d_ibeta.__doc__.partition("\\n")[0])
        """
    in_process = run(shown.format(path=str(DESCRIBED), isolated=False))
    assert in_process.endswith("3.5 False")  # described, in process
    assert run(shown.format(path=str(DESCRIBED), isolated=True)) == in_process


def test_a_crash_or_a_time_out_is_module_crash_and_the_next_call_runs():
    if not ODD.exists():
        pytest.skip(f"{ODD} not built")
    out = run("""
        import threading, time
        # Loaded on a thread that then ends: the worker it started stays.
        box = []
        loader = threading.Thread(target=lambda: box.append(efi.load(ODD, isolated=True, timeout=0.5)))
        loader.start()
        loader.join()
        time.sleep(0.2)
        o = box[0]
        for how in (0, 1, 2, 3):
            pid = int(o.t_pid(0).real)
            try:
                o.t_crash(how)
            except efi.ModuleCrash as e:
                assert isinstance(e, efi.WorksheetError) and e.argument is None
                print(e.message, e.timed_out)
            try:
                os.kill(pid, 0)
                print("worker", pid, "left behind")
            except ProcessLookupError:
                pass
            assert o.t_pid(0).imag == 0  # a new worker, the module loaded again
        print(int(o.t_pid(0).real))
    """)
    *lines, last = out.splitlines()
    assert lines == [
        "t_crash: the module's process ended (signal 11, segmentation fault) False",
        "t_crash: the module's process ended (signal 6, aborted) False",
        "t_crash: the module's process ended (exit status 3) False",
        "t_crash: timed out after 0.5 s True",
    ]
    with pytest.raises(ProcessLookupError):  # the interpreter's exit ended its worker
        os.kill(int(last), 0)


def test_an_isolated_module_pickles_isolated_and_refuses_what_it_cannot_do():
    out = run("""
        s = efi.load(SAMPLE, isolated=True, timeout=30)
        t = pickle.loads(pickle.dumps(s))
        f = pickle.loads(pickle.dumps(s.sample_add))
        print(t.isolated, t.timeout, f(1, 2), repr(s).startswith("<efi isolated module"))
        for attempt in (lambda: efi.load(SAMPLE), lambda: efi.load(ODD, timeout=1), lambda: s.sample_add.map([1], [2])):
            try:
                attempt()
            except (efi.ModuleError, ValueError, TypeError) as e:
                print(type(e).__name__, e)
    """)
    assert out.splitlines() == [
        "True 30.0 3.0 True",
        f'ModuleError module "{SAMPLE}": already loaded isolated',
        "ValueError efi.load: timeout= needs isolated=True",
        "TypeError sample_add.map: the functions of an isolated module are called one at a time, not swept",
    ]


def test_a_forked_child_calls_a_worker_of_its_own():
    if not ODD.exists():
        pytest.skip(f"{ODD} not built")
    out = run("""
        o = efi.load(ODD, isolated=True)
        parent = int(o.t_pid(0).real)
        r, w = os.pipe()
        child = os.fork()
        if child == 0:
            os.write(w, str(int(o.t_pid(0).real)).encode())
            os._exit(0)
        os.close(w)
        theirs = int(os.read(r, 64))
        os.waitpid(child, 0)
        print(theirs != parent, int(o.t_pid(0).real) == parent)
    """)
    assert out == "True True"


def test_threads_calling_two_isolated_modules_hold_neither_back():
    # Each module's worker is its own turn: a thread that calls one module
    # without pause leaves another thread's calls of another module, and of
    # the same one, their turns (they used to wait for the loop to end).
    if not ODD.exists():
        pytest.skip(f"{ODD} not built")
    out = run("""
        import threading
        s = efi.load(SAMPLE, isolated=True, timeout=30)
        o = efi.load(ODD, isolated=True, timeout=30)
        done = threading.Event()
        looped = []
        def loop():
            n = 0
            while not done.is_set():
                s.sample_add(n, 1)
                n += 1
            looped.append(n)
        t = threading.Thread(target=loop)
        t.start()
        workers = {o.t_pid(0).real for _ in range(50)}
        sums = [s.sample_add(2, 3) for _ in range(50)]
        done.set()
        t.join()
        print(len(workers), sums.count(5), looped[0] > 0)
    """, timeout=60)
    assert out.split() == ["1", "50", "True"]
