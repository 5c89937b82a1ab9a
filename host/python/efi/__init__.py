"""efi from Python: call extension modules through the call bridge.

    >>> import efi
    >>> m = efi.load("libefi_sample.so")
    >>> m.sample_add(1+2j, 3-4j)
    (4-2j)
    >>> efi.fif("5' 3-1/2\\"")
    1.6129

A module's functions are attributes of the object `load` returns (or items,
for names that are not identifiers). Numbers go in as any real or complex
number and come back as float (no imaginary part) or complex; matrices go in
as 2-D array-likes (a 1-D one is a column) and come back as 2-D numpy
arrays; text is str. File-name arguments are joined to the module's `cwd`.

A function of numbers runs over whole arrays with `f.map(*args)`: the
arguments broadcast by numpy's rules, one sweep of the bridge without the
GIL, the results in an array of the broadcast shape (float64 when every
imaginary part is zero, else complex128). A function its module declares
thread-safe ("[thread-safe]" in its signature) is swept on several threads
when the array is large: `threads=` says how many, by default the
environment variable EFI_NUM_THREADS, else the cores; the results and the
error raised are those of one thread.

A function whose module's table names its parameters takes them by
keyword too (`m.f(a=2, b=3, x=0.5)`, and in `map`); `inspect.signature`,
`help(m.f)` and `m.f.__doc__` show the names, the help and the messages the
table gives. `help(m)` shows the module as a module (its functions, its
file), and `inspect.getfile(m.f)` names the module's shared object.
`python3 -m efi.stubgen libmod.so -o mod.pyi` writes type stubs of a module
for editors and type checkers (see efi.stubgen).

A failure is raised as WorksheetError (its message and the number of the
argument to blame, or None; from `map`, `index`, the failing element's
index tuple, which its text ends with: "must be non-negative (argument 1)
at index (2,)"); a processor fault in native code as ProcessorFault; a C++
exception a module's code lets out as ModuleException (with `type`, its
C++ type name); a call with the wrong number of arguments as
ArgumentCountError (a WorksheetError and a TypeError); a keyword no
parameter has, or one given twice, as TypeError; an exception raised by a
Python callback reaches the caller unchanged. Text for a module's
function must hold characters U+0000 to U+00FF only (native code gets one
byte a character): other text raises ValueError.

Native code runs without the GIL when other Python threads exist. Calls of
thread-safe functions run at once on several threads (from threading, a
ThreadPoolExecutor or Dask's threaded scheduler); any other call runs
alone, after the calls running when it came and before those that come
after it. A thread waiting for its turn can be interrupted
(KeyboardInterrupt).

`load(path, isolated=True)` runs the module in a worker process of its own
(efi-worker): calls give the same results and errors, and a crash of the
module's code (a bad pointer, abort(), exit()) raises ModuleCrash instead of
ending Python; the next call starts a new worker. `timeout=` (seconds)
limits each call: past it the worker is killed and the call raises
ModuleCrash with `timed_out` set. Ctrl-C stops an isolated call at once
(KeyboardInterrupt; its worker is killed). A call in process cannot be
interrupted: Ctrl-C is raised when it returns (`map` stops between
blocks), so load a module whose calls may take long with
`isolated=True, timeout=`.

Modules and their functions pickle as where to find them (a module as its
path and cwd, loaded again once per process that unpickles it; a function as
its module and name), so they travel to multiprocessing and Dask workers.
Host functions made with `register` belong to the process that made them:
register them in each worker.
"""
import functools
import inspect
import os
import sys
import types

from . import _efi

__all__ = [
    "load", "register", "Module", "Function", "HostFunction",
    "ModuleError", "WorksheetError", "ProcessorFault", "ArgumentCountError", "ModuleCrash", "ModuleException",
    "fif", "fif_inv", "dms", "dms_inv", "hhmmss", "hhmmss_inv", "write_stub",
]


class ModuleError(Exception):
    """A module that cannot be loaded; the message names it and the reason."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class WorksheetError(Exception):
    """A worksheet error: `message`, and `argument`, the number (from 1) of
    the argument to blame, 0 for the call's directory, or None for none.
    From `map`, `index` is the failing element's index tuple (None for a
    single call), and the text ends with it."""

    index = None

    def __init__(self, message, argument=None):
        super().__init__(message, argument)
        self.message = message
        self.argument = argument

    def __str__(self):
        # As every host shows a worksheet error (Efi::ErrorText of the C++
        # hosts; test_hosts_agree holds them to the same text), and where in
        # a map's arguments. Kept in Python: an error made by Python code,
        # with any message and argument, must still show without the
        # extension.
        text = self.message if self.argument is None else f"{self.message} (argument {self.argument})"
        return text if self.index is None else f"{text} at index {self.index}"


class ProcessorFault(WorksheetError):
    """A trapped floating-point fault in native code: `message` is the host's
    text ("singularity", "overflow", "floating point error"), `code` the
    fault's exception code."""

    def __init__(self, message, code):
        super().__init__(message)
        self.args = (message, code)
        self.code = code


class ArgumentCountError(WorksheetError, TypeError):
    """A call with the wrong number of arguments: "f() takes 2 arguments
    (1 given)", or for a function with named parameters given too few, as
    Python words it: "f() missing 1 required positional argument: 'x'". A
    TypeError, as for any Python callable, and a worksheet error, as the
    bridge reports it."""

    def __init__(self, message, argument=None):
        WorksheetError.__init__(self, message, argument)


class ModuleCrash(WorksheetError):
    """The process of an isolated module ended during the call: `message`
    names the function and how ("f: the module's process ended (signal 11,
    segmentation fault)", "f: timed out after 2 s"); `timed_out` is True
    when the call ran past the module's time limit. The next call starts a
    new process."""

    def __init__(self, message, timed_out=False):
        super().__init__(message)
        self.args = (message, timed_out)
        self.timed_out = timed_out


class ModuleException(WorksheetError):
    """A C++ exception a module's code let out that is no worksheet error
    (a library's std::domain_error): `message` is its what(), `type` its
    type as C++ names it ("std::domain_error")."""

    def __init__(self, message, type, argument=None):
        super().__init__(message, argument)
        self.args = (message, type, argument)
        self.type = type


_efi._bind_errors(ModuleError, WorksheetError, ProcessorFault, ArgumentCountError, ModuleCrash, ModuleException)

__version__ = _efi.__version__


def _keeping_fault_translation(replace_handler):
    """`replace_handler` (a function that may install a SIGFPE handler), with
    the fault translation put back after it. A trapped fault in a call must
    reach efi's handler: faulthandler's would end the process, and one of
    signal.signal's would return to the faulting instruction, which traps
    again, for ever. Checking the handler at every call instead would cost
    a system call, several times the call itself."""
    @functools.wraps(replace_handler)
    def wrapper(*args, **kwargs):
        try:
            return replace_handler(*args, **kwargs)
        finally:
            _efi._reinstate_fault_translation()
    return wrapper


def _guard_fault_translation():
    # Only the ways Python code changes SIGFPE's handler; SIGSEGV and the
    # other signals stay faulthandler's, which keeps reporting real crashes.
    import faulthandler
    import signal
    for owner, name in ((signal, "signal"), (faulthandler, "enable"), (faulthandler, "disable")):
        current = getattr(owner, name)
        if not hasattr(current, "__wrapped__"):
            setattr(owner, name, _keeping_fault_translation(current))


_guard_fault_translation()

Function = _efi.Function
HostFunction = _efi.HostFunction
register = _efi.register
fif, fif_inv = _efi.fif, _efi.fif_inv
dms, dms_inv = _efi.dms, _efi.dms_inv
hhmmss, hhmmss_inv = _efi.hhmmss, _efi.hhmmss_inv


def _entry(function):
    """`function` as callers reach it: an exception it raises carries no
    frames of the package, only the caller's (see _efi._entry)."""
    return functools.update_wrapper(_efi._entry(function), function)


def _findable(path):
    """Where another process finds the module at `path`: a path with a
    directory in it made absolute, as that process may run elsewhere; a bare
    name as it is, for its loader to search."""
    return os.path.abspath(path) if os.sep in path else path


def _same(self, memo=None):
    """Copies of a module or function are the object itself: it stands for
    code in a library, loaded once."""
    return self


class Module:
    """An extension module: its functions are attributes (and items).

    `cwd` is the directory file-name arguments are relative to: the working
    directory at load unless given; None for none (a relative name then
    fails with "must be string", argument 0). `isolated` and `timeout` are
    as `load` took them.
    """

    # Each module's functions are attributes of a class of its own (a
    # subclass of this one), held there as a class holds methods: Python
    # finds `m.f` in `m.f(x)` fastest that way, as fast as a function of a
    # Python module. An instance attribute is found the slow way for a call,
    # and so is an attribute of a subclass of Python's module type.
    @_entry
    def __new__(cls, path, cwd=None, isolated=False, timeout=None):
        library = _efi.Library(os.fspath(path), os.getcwd() if cwd is None else cwd, bool(isolated),
                               None if timeout is None else float(timeout))
        # Interned names: Python finds an attribute fast only under the very
        # name object its code holds, and the names in code are interned.
        functions = {sys.intern(f.__name__): f for f in library.functions}
        listing = _listing(functions)
        # A function named like an attribute of this class ("cwd") or like a
        # special name stays reachable as an item.
        methods = {name: _efi._method(f) for name, f in functions.items()
                   if not hasattr(Module, name) and not (name.startswith("__") and name.endswith("__"))}
        name = os.path.basename(library.path)
        own = type(cls)(name, (cls,), {**methods, "__doc__": listing,  # what help() shows
                                       "__module__": cls.__module__, "__qualname__": name})
        self = object.__new__(own)
        # Set one by one, never through vars(self): an instance whose
        # dictionary has been asked for loses that fast path.
        self.__name__ = name
        self.__file__ = library.path
        self.__all__ = sorted(methods)
        self.__doc__ = _description(library.path, isolated)
        self._origin = _findable(library.path)
        self._library = library
        self._functions = functions
        self.isolated = bool(isolated)
        self.timeout = None if timeout is None else float(timeout)
        if self.isolated:
            _isolation[library.path] = (True, self.timeout)
        return self

    # help(m), inspect and IPython take a module for what it stands for, a
    # module: its name and description, its functions with their signatures
    # and help, the file it was loaded from; not the class that holds its
    # functions, nor that class's internals. Its type stays that class,
    # which calls and pickling go by.
    __class__ = property(lambda self: types.ModuleType)

    def __dir__(self):
        # As a module's: its functions, then its own attributes.
        return self.__all__ + ["__doc__", "__file__", "__name__", "cwd", "functions", "isolated", "timeout", "workers"]

    @property
    def cwd(self):
        return self._library.cwd

    @cwd.setter
    @_entry
    def cwd(self, value):
        self._library.cwd = value

    @property
    def functions(self):
        """The module's functions by name."""
        return dict(self._functions)

    @property
    def workers(self):
        """For an isolated module, how its worker processes fared: a dict of
        `started` (the first included), `lost` (ended without the host
        ending them: a crash, the time limit, an interrupt, or found dead
        before a call, which then ran on a new one) and `last_lost` (how
        the last of those ended, "signal 9, killed", or None). None for a
        module loaded in process."""
        return self._library.workers

    @_entry
    def __getitem__(self, name):
        return self._functions[name]

    def __reduce__(self):
        return _load_once, (self._origin, self.cwd, self.isolated, self.timeout)

    __copy__ = __deepcopy__ = _same

    def __repr__(self):
        how = " isolated" if self.isolated else ""
        return f"<efi{how} module {self.__file__!r}\n{_listing(self._functions)}>"


def _description(path, isolated):
    """What help(m) says of the module before its functions."""
    how = ", isolated: its code runs in a worker process of its own" if isolated else ""
    return (f"The extension module {path}, loaded by efi.load{how}.\n\n"
            "Its functions are attributes, m.f(x), and items, m[\"f\"] (for names that are no identifiers); "
            "f.map(...) runs a function of numbers over arrays.")


def _listing(functions):
    """One signature line a function, as efi-call --list writes them."""
    return "\n".join("  " + f.__doc__.partition("\n")[0] for _, f in sorted(functions.items()))


# Pickling: a module and its functions travel as where to find them, as
# numpy's ufuncs do by name; the library is opened again where they land,
# once per process and directory.
_loaded = {}


def _load_once(path, cwd, isolated=False, timeout=None):
    key = (path, cwd)
    module = _loaded.get(key)
    if module is None:
        module = _loaded[key] = Module(path, cwd, isolated, timeout)
    return module


def _function(path, cwd, name, isolated=False, timeout=None):
    if path == "built-in":
        return globals()[name]
    return _load_once(path, cwd, isolated, timeout)[name]


def _reduce_function(f):
    return _function, (_findable(f._origin), f._cwd, f.__name__) + _isolation.get(f._origin, ())


# How the modules loaded isolated were loaded, by path, for their functions' pickles.
_isolation = {}


def _reduce_host_function(f):
    raise TypeError(f"{f!r} belongs to the process that registered it: "
                    "call efi.register in each process that needs it")


_KIND_TYPES = {"number": complex, "matrix": "numpy.ndarray", "text": str, "file": "str | os.PathLike[str]"}


def _signature(f):
    """The parameters as the call takes them: by the names the module's
    table gives, by position or keyword; without names, positional-only,
    named by kind and place (number1, text2, ...)."""
    if f._params:
        names, kind = f._params, inspect.Parameter.POSITIONAL_OR_KEYWORD
    else:
        names, kind = [f"{k}{i}" for i, k in enumerate(f._kinds, 1)], inspect.Parameter.POSITIONAL_ONLY
    return inspect.Signature([inspect.Parameter(name, kind, annotation=_KIND_TYPES.get(k, inspect.Parameter.empty))
                              for name, k in zip(names, f._kinds)])


Function.__reduce__ = _reduce_function
Function.__copy__ = Function.__deepcopy__ = _same
Function.__signature__ = property(_signature)
HostFunction.__reduce__ = _reduce_host_function


@_entry
def write_stub(module, path):
    """Writes type stubs of `module` (an efi.Module) to the file `path`: see
    efi.stubgen."""
    from . import stubgen  # kept out of the import of efi
    stubgen.write_stub(module, path)


@_entry
def load(path, cwd=None, isolated=False, timeout=None):
    """Opens the extension module at `path` with the host's loader (the same
    checks as efi-call) and returns it as a Module. A module that cannot be
    loaded raises ModuleError, and so does one loaded before the other way
    (isolated or in process).

    isolated: run the module in a worker process of its own; a crash of its
    code raises ModuleCrash and the next call starts a new worker. Costs
    some microseconds a call, and a copy of each matrix each way. Ctrl-C
    stops an isolated call at once (KeyboardInterrupt); a call in process
    runs to its end before Ctrl-C is raised.
    timeout: for an isolated module, the longest a call may take, in
    seconds; past it the worker is killed and the call raises ModuleCrash."""
    if timeout is not None and not isolated:
        raise ValueError("efi.load: timeout= needs isolated=True")
    return Module(path, cwd, isolated, timeout)
