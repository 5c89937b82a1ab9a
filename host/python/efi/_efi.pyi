# Types of the Python host's extension, for type checkers and IDEs.
import os
from typing import Any, Callable, Optional, Union

import numpy as np
import numpy.typing as npt

__version__: str

Value = Union[complex, float, int, str, "os.PathLike[str]", np.ndarray, None]
Result = Union[float, complex, str, np.ndarray, None]

class Function:
    """A module's function or a conversion; call it with its arguments."""
    __name__: str
    __doc__: str
    _origin: str
    _cwd: Optional[str]
    _kinds: tuple[str, ...]
    _params: tuple[str, ...]
    _result: str
    _summary: str
    co_filename: str
    def __call__(self, *args: Value, **kwargs: Value) -> Result: ...
    def map(self, *args: npt.ArrayLike, threads: Optional[int] = None, **kwargs: npt.ArrayLike) -> np.ndarray:
        """The function at every element of its arguments, broadcast to one shape; a thread-safe
        function's on `threads` threads (None: EFI_NUM_THREADS, else the cores)."""

class HostFunction:
    def dbl_to_obj(self, x: float) -> Result: ...
    def dbl_to_dbl(self, x: float) -> float: ...
    def dbl_to_cplx(self, x: float) -> complex: ...
    def cplx_to_cplx(self, z: complex) -> complex: ...

class Library:
    path: str
    functions: list[Function]
    cwd: Optional[str]
    workers: Optional[dict[str, Any]]
    def __init__(self, path: str, cwd: Union[str, "os.PathLike[str]", None], isolated: bool = False,
                 timeout: Optional[float] = None) -> None: ...

def register(name: str, fn: Optional[Callable[[Any], Any]]) -> Optional[HostFunction]: ...
def _method(function: Function) -> Any: ...
def _entry(function: Callable[..., Any], /) -> Any: ...
def _reinstate_fault_translation() -> None: ...
def _waiting_for_turn() -> int: ...
def _bind_errors(module_error: type, worksheet_error: type, processor_fault: type, argument_error: type,
                 module_crash: type, module_exception: type, /) -> None: ...

fif: Function
fif_inv: Function
dms: Function
dms_inv: Function
hhmmss: Function
hhmmss_inv: Function
