"""A thread that counts while a call blocks: the proof that the call let
other Python threads run."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager


@contextmanager
def ticking() -> Iterator[Callable[[], int]]:
    """Counts about once a millisecond for the block; yields the count so far."""
    ticks = 0
    done = threading.Event()

    def count():
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        yield lambda: ticks
    finally:
        done.set()
        counter.join()
