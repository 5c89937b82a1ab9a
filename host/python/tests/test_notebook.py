"""Interrupts in a notebook: a real Jupyter kernel runs the cells, and its
interrupt signals the kernel's whole process group, as a notebook's button
does. An isolated module's idle worker lives through interrupts of other
cells, an interrupted isolated call stops at once with KeyboardInterrupt,
and no interrupt goes missing while a worker lives. Each wait is bounded."""
import os
import queue
import sys
import time

import pytest

from conftest import ODD, PACKAGE_ROOT

manager = pytest.importorskip("jupyter_client.manager")
pytest.importorskip("ipykernel")

# Far above what a kernel takes on a busy machine: only a kernel that never
# answers reaches it.
BOUND = 30


class Kernel:
    def __init__(self):
        env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, PYDEVD_DISABLE_FILE_VALIDATION="1")
        # The kernel of the interpreter running the tests.
        self.manager = manager.KernelManager(kernel_name="python3")
        self.manager.kernel_spec.argv[0] = sys.executable
        self.manager.start_kernel(env=env)
        self.client = self.manager.client()
        self.client.start_channels()
        self.client.wait_for_ready(timeout=60)

    def run(self, code, interrupt_after=None, pause=0.05):
        """Runs the cell `code`; with `interrupt_after` (a text the cell
        prints), interrupts the kernel `pause` seconds after the cell prints it.
        Returns what it printed, the name of the exception it raised (or
        None) with its traceback, and the seconds from the interrupt to the
        cell's end."""
        # Not stop_on_error: the kernel would drop the cells sent just after an
        # interrupted one.
        msg_id = self.client.execute(code, stop_on_error=False)
        out, error, sent = "", (None, ""), None
        deadline = time.monotonic() + BOUND
        while True:
            left = deadline - time.monotonic()
            assert left > 0, f"the cell {code!r} did not end in {BOUND} s"
            try:
                msg = self.client.get_iopub_msg(timeout=left)
            except queue.Empty:
                continue
            if msg["parent_header"].get("msg_id") != msg_id:
                continue
            kind, content = msg["msg_type"], msg["content"]
            if kind == "stream":
                out += content["text"]
                if interrupt_after and sent is None and interrupt_after in out:
                    time.sleep(pause)
                    self.manager.interrupt_kernel()
                    sent = time.monotonic()
            elif kind == "error":
                error = (content["ename"], "\n".join(content["traceback"]))
            elif kind == "status" and content["execution_state"] == "idle":
                return out, error, None if sent is None else time.monotonic() - sent

    def value(self, expression):
        out, (name, traceback), _ = self.run(f"print(repr({expression}))")
        assert name is None, traceback
        return eval(out)

    def close(self):
        self.client.stop_channels()
        self.manager.shutdown_kernel(now=True)


@pytest.fixture(scope="module")
def kernel():
    if not ODD.exists():
        pytest.skip(f"{ODD} not built")
    k = Kernel()
    out, (name, traceback), _ = k.run(f"import efi, os, time\no = efi.load({str(ODD)!r}, isolated=True)")
    assert name is None, traceback
    yield k
    k.close()


def worker(kernel):
    return int(kernel.value("o.t_pid(0).real"))


def test_an_interrupt_of_another_cell_leaves_the_idle_worker_alive(kernel):
    pid = worker(kernel)
    lost = kernel.value("o.workers['lost']")
    _, (name, _), _ = kernel.run("print('asleep', flush=True); time.sleep(60)", interrupt_after="asleep")
    assert name == "KeyboardInterrupt"
    assert worker(kernel) == pid
    assert kernel.value("o.workers['lost']") == lost


def test_an_interrupted_isolated_call_stops_at_once_and_the_next_call_runs(kernel):
    pid = worker(kernel)
    # t_crash(3) loops for ever: only the interrupt ends it, sent once the call is surely under way.
    _, (name, traceback), after = kernel.run("print('calling', flush=True); o.t_crash(3)", interrupt_after="calling",
                                             pause=0.5)
    assert name == "KeyboardInterrupt", traceback
    assert "efi" + os.sep not in traceback and "ModuleCrash" not in traceback, traceback
    assert after < 5  # within 0.1 s on an idle machine
    assert kernel.value(f"os.path.exists('/proc/{pid}')") is False  # killed and reaped
    assert kernel.value("o.workers['last_lost']") == "killed by an interrupt"
    assert worker(kernel) not in (0, pid)


def test_twenty_interrupts_of_a_sleeping_cell_with_a_live_worker_all_land(kernel):
    pid = worker(kernel)
    for k in range(20):
        out, (name, traceback), after = kernel.run(f"print('asleep {k}', flush=True); time.sleep(60)",
                                                   interrupt_after=f"asleep {k}")
        assert name == "KeyboardInterrupt", (k, out, traceback, after)
    assert worker(kernel) == pid
