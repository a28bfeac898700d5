# A thread that counts while a call blocks: the proof that the call let other Python threads run.

import threading
from contextlib import contextmanager


@contextmanager
def ticking():
    # Counts about once a millisecond for the block; yields the count so far.
    ticks, done = [0], threading.Event()

    def count():
        while not done.wait(0.001):
            ticks[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        yield lambda: ticks[0]
    finally:
        done.set()
        counter.join()
