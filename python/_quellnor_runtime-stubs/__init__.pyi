"""Runtime support of the _quellnor extension: its internal-error exception."""

class PanicException(BaseException):
    """Raised when the native code of _quellnor faults.

    Like SystemExit, it derives from BaseException rather than Exception,
    so that it normally propagates all the way up and ends the interpreter.
    """
