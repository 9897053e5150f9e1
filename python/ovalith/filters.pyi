from typing import Optional, Tuple

import numpy as np
import numpy.typing as npt

from . import Intrinsics

class Chain:
    text: str
    def __init__(self, text: str) -> None: ...
    def apply(self, depth: npt.ArrayLike, no_sample: int = ..., shadow: int = ...,
              intrinsics: Optional[Intrinsics] = ...) -> Tuple[npt.NDArray[np.uint16], Optional[Intrinsics]]: ...
    def reset(self) -> None: ...
