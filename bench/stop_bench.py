"""Benchmark of stopping idle workers: how long freeing, collecting or stopping 100 idle subscriptions takes.

Run: python bench/stop_bench.py [--count 100] [--repeats 3]

Each subscription waits on its own mem:// channel with nothing to receive, so its stop has to wake a receive
that would otherwise wait out its slice. Three ways to end them: `del` of the handles (the deallocator waits
for each thread in turn), `gc.collect()` of handles kept in cycles with their callbacks, and `stop()` one by
one. Milliseconds for all of them, the best of a few runs.
"""

import argparse
import gc
import itertools
import time

import sigtap

_names = itertools.count()


def idle_subscriptions(count):
    channels = [sigtap.open(f"mem://stop-bench-{next(_names)}") for _ in range(count)]
    subs = [ch.subscribe(lambda item: True) for ch in channels]
    time.sleep(0.2)  # every thread is inside its receive
    return channels, subs


def by_free(count):
    channels, subs = idle_subscriptions(count)
    start = time.perf_counter()
    del subs[:]
    elapsed = time.perf_counter() - start
    for ch in channels:
        ch.close()
    return elapsed


class Node:
    def __call__(self, item):
        return True


def by_collect(count):
    channels = [sigtap.open(f"mem://stop-bench-{next(_names)}") for _ in range(count)]
    for ch in channels:
        node = Node()
        node.sub = ch.subscribe(node)  # node -> handle -> node: only the collector frees it
    time.sleep(0.2)
    start = time.perf_counter()
    gc.collect()
    elapsed = time.perf_counter() - start
    for ch in channels:
        ch.close()
    return elapsed


def by_stop(count):
    channels, subs = idle_subscriptions(count)
    start = time.perf_counter()
    for sub in subs:
        sub.stop()
    elapsed = time.perf_counter() - start
    for ch in channels:
        ch.close()
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    gc.disable()  # only the collection measured collects
    print(f"ending {args.count} idle subscriptions, ms (best of {args.repeats})")
    for label, run in (("del handles", by_free), ("gc.collect()", by_collect), ("stop() each", by_stop)):
        best = min(run(args.count) for _ in range(args.repeats))
        print(f"  {label:14} {best * 1e3:10.1f}")


if __name__ == "__main__":
    main()
