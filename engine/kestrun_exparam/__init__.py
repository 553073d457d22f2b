"""Parameter extraction for strategies.

Run as ``python3 -m kestrun_exparam PORT``: the process connects to 127.0.0.1:PORT, receives one
length-prefixed frame holding a strategy's source, and answers one frame holding the JSON list of
the parameters the strategy declares. The strategy is only parsed, never executed or imported.
"""

from .extract import PARAMETER_TYPES, extract_parameters
from .wire import FrameError, read_frame, write_frame

__all__ = ["PARAMETER_TYPES", "extract_parameters", "FrameError", "read_frame", "write_frame"]
