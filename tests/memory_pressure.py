"""Calls one method of the extension again and again with memory exhausted
but for a little headroom, and prints how each call ended.

    memory_pressure.py METHOD main|thread [FIRST]

Each line is "HEADROOM OUTCOME": the bytes left free, then "ok" or the name of
the exception the call raised. The address space is limited to what the
process uses plus a margin; before each call, blocks of C memory fill the
margin but for the headroom (in the calling thread, whose memory is what the
call draws on), and are given back after it. With "thread", each call runs on
a thread of its own that has run nothing before, so that the call is the
thread's first use of anything per-thread. FIRST skips the headrooms before
the FIRST-th. The process must survive every call.
"""

import gc
import platform
import pickle
import resource
import sys
import threading
import uuid

import quellnor
from _quellnor import PrefixSearch

ON_PYPY = platform.python_implementation() == "PyPy"
MARGIN = 256 << 20
HEADROOMS = [0, 64, 256, 1 << 10, 4 << 10, 16 << 10, 64 << 10, 256 << 10, 1 << 20, 4 << 20, 16 << 20]
# On PyPy every call into C through cffi allocates a buffer for its
# arguments, so a little memory is left for the calls that give the blocks
# back: what is free is then the headroom and less than 4 KiB besides.
BLOCK_SIZES = [1 << 20, 64 << 10, 4 << 10] + ([] if ON_PYPY else [256, 16])
MOST_BLOCKS = 1 << 16
TURN_SECONDS = 60


if ON_PYPY:
    import cffi  # PyPy's ctypes allocates more of its own memory per call

    _ffi = cffi.FFI()
    _ffi.cdef("void *malloc(size_t); void free(void *);")
    _libc = _ffi.dlopen(None)
    _blocks = _ffi.new("void *[]", MOST_BLOCKS)
    _NULL = _ffi.NULL
else:
    import ctypes

    _libc = ctypes.CDLL(None)
    _libc.malloc.restype = ctypes.c_void_p
    _libc.malloc.argtypes = [ctypes.c_size_t]
    _libc.free.argtypes = [ctypes.c_void_p]
    _blocks = (ctypes.c_void_p * MOST_BLOCKS)()
    _NULL = None
_sizes = [0] * MOST_BLOCKS


def fill(headroom, sizes=BLOCK_SIZES, most=MOST_BLOCKS):
    """Takes every block malloc still gives, largest first, then gives back
    the last ones until `headroom` bytes are free; returns how many are held."""
    count = 0
    for size in sizes:
        while count < most:
            block = _libc.malloc(size)
            if block == _NULL or block is None:
                break
            _blocks[count] = block
            _sizes[count] = size
            count += 1
    freed = 0
    while freed < headroom and count > 0:
        count -= 1
        _libc.free(_blocks[count])
        freed += _sizes[count]
    return count


def release(count):
    for i in range(count):
        _libc.free(_blocks[i])


def index_and_calls():
    rows = [(f"{chr(97 + i % 26)}{chr(97 + i * 7 % 26)}{i % 997}", uuid.UUID(int=i % 300 + 1), i % 5 + 1)
            for i in range(6000)]
    index = quellnor.build_index(rows)
    data = index.to_bytes()
    faulty = PrefixSearch.from_bytes(bytes.fromhex("00" "020061" "00" "00" "00" "00"))
    return {
        "from_internal_data_v2": lambda: quellnor.build_index(rows[:800]),
        "from_bytes": lambda: PrefixSearch.from_bytes(data),
        "to_bytes": index.to_bytes,
        "pickle": lambda: pickle.loads(pickle.dumps(index)),
        "fuzzy_match": lambda: index.fuzzy_match("ab12", 2),
        "fuzzy_match_video": lambda: index.fuzzy_match_video("ab", 1),
        "bad_argument": lambda: index.fuzzy_match(b"ab"),
        "fault": lambda: faulty.fuzzy_match("a"),
    }


def outcome(call):
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - every way out is reported
        return type(error).__name__
    return "ok"


class Turn:
    """One call with `headroom` bytes of memory free."""

    def __init__(self, call, headroom):
        self.call = call
        self.headroom = headroom
        self.outcome = "lost"
        self.go = threading.Event()
        self.done = threading.Event()

    def run(self):
        held = fill(self.headroom)
        self.outcome = outcome(self.call)
        release(held)

    def run_when_told(self):
        self.go.wait()
        try:
            self.run()
        finally:
            self.done.set()


def limit_address_space():
    with open("/proc/self/statm") as statm:
        in_use = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (in_use + MARGIN, in_use + MARGIN))


def main():
    name, where = sys.argv[1], sys.argv[2]
    first = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    call = index_and_calls()[name]
    for _ in range(3):  # whatever is made on first use is made now
        outcome(call)
        release(fill(0, sizes=BLOCK_SIZES[-1:], most=4000))  # and PyPy compiles the loop
    turns = [Turn(call, headroom) for headroom in HEADROOMS[first:]]
    if where == "thread":
        # Each turn has a thread of its own that has not run anything yet,
        # started while memory is plentiful: PyPy itself crashes now and then
        # as it starts or ends a thread with memory exhausted.
        for turn in turns:
            threading.Thread(target=turn.run_when_told, daemon=True).start()
    gc.collect()
    limit_address_space()
    for turn in turns:
        if where == "thread":
            turn.go.set()
            turn.done.wait(TURN_SECONDS)
        else:
            turn.run()
        print(turn.headroom, turn.outcome, flush=True)


if __name__ == "__main__":
    main()
