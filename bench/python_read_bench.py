#!/usr/bin/env python3
"""Reading an hour-long recording at 20 kHz into numpy: ephys.read_abf against neo's AxonIO.

    /usr/bin/python3 bench/python_read_bench.py [BUILD_DIR] [--minutes N] [--repeats N]

The recording (one channel, int16, 72 million samples, 137 MiB) is written by the build's
abfsynth into a temporary folder. Each reader runs --repeats times after one warm-up read, so the
file is in the page cache for both; the best and the median time are printed, and the two arrays
are compared.
"""

import argparse
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
import warnings


def timed(read, repeats):
    read()  # warm-up: the file into the page cache, the code paths loaded
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = read()
        times.append(time.perf_counter() - start)
        del result
    return min(times), statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--minutes", type=float, default=60.0)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    sys.path.insert(0, str(build / "python"))
    import numpy as np

    import ephys

    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "hour.abf"
        subprocess.run([str(build / "apps/abfsynth/abfsynth"), "--out", str(path), "--duration",
                        str(args.minutes * 60), "--interval", "50"], check=True, stdout=subprocess.DEVNULL)
        size = path.stat().st_size
        print(f"recording: {args.minutes:g} min at 20 kHz, one channel, {size / 2**20:.0f} MiB")

        best, median = timed(lambda: ephys.read_abf(path).data, args.repeats)
        print(f"ephys.read_abf   best {best:7.3f} s  median {median:7.3f} s  ({size / best / 2**30:.2f} GiB/s)")
        ours = ephys.read_abf(path).data[0, 0]

        try:
            import neo
        except ImportError:
            print("neo not installed (Debian: python3-neo): no comparison")
            return

        def neo_read():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                block = neo.io.AxonIO(filename=str(path)).read_block(lazy=False)
            return np.asarray(block.segments[0].analogsignals[0].magnitude)

        neo_best, neo_median = timed(neo_read, args.repeats)
        print(f"neo AxonIO       best {neo_best:7.3f} s  median {neo_median:7.3f} s")
        print(f"ephys is {neo_best / best:.1f}x faster (best), {neo_median / median:.1f}x (median)")
        theirs = neo_read()[:, 0]
        print(f"largest difference of the two readings: {float(np.max(np.abs(ours - theirs))):.3g} pA")


if __name__ == "__main__":
    main()
