#!/usr/bin/python3
"""Matches psctrawl's event table against abfsynth's ground truth.

Usage: psc_match.py TRUTH.csv TABLE.PRN TOLERANCE_MS
Prints: true found matched recall precision F1 median|dAmp|(pA)

Each true onset is paired with the nearest unused detection whose "times (sec)" lies within the
tolerance; recall = matched / true, precision = matched / found, F1 their harmonic mean. The
amplitude error is |found - true| of the pairs, amplitudes compared as magnitudes (median, pA).
Standard library only.
"""
import bisect
import csv
import statistics
import sys


def pairs(truth, found, tol):
    """(true index, found index) of each true onset paired with the nearest unused found one
    within tol; both lists of times in seconds, `found` sorted."""
    used = [False] * len(found)
    paired = []
    for n, onset in enumerate(truth):
        i = bisect.bisect_left(found, onset - tol)
        best = None
        while i < len(found) and found[i] <= onset + tol:
            if not used[i] and (best is None or abs(found[i] - onset) < abs(found[best] - onset)):
                best = i
            i += 1
        if best is not None:
            used[best] = True
            paired.append((n, best))
    return paired


def main():
    truth_path, table_path, tol_ms = sys.argv[1:4]
    tol = float(tol_ms) / 1000
    with open(truth_path) as f:
        truth = [(float(r["onset_s"]), abs(float(r["amplitude_pA"]))) for r in csv.DictReader(f)]
    found = []
    with open(table_path) as f:
        for line in f.read().splitlines()[2:]:
            cells = line.split("\t")
            if len(cells) > 8 and cells[2]:
                found.append((float(cells[2]), abs(float(cells[8]))))
    found.sort()
    damp = [abs(found[j][1] - truth[i][1]) for i, j in pairs([t for t, _ in truth], [t for t, _ in found], tol)]
    matched = len(damp)
    recall = matched / len(truth) if truth else 0.0
    precision = matched / len(found) if found else 0.0
    f1 = 2 * recall * precision / (recall + precision) if recall + precision > 0 else 0.0
    med = statistics.median(damp) if damp else float("nan")
    print(f"{len(truth)} {len(found)} {matched} {recall:.3f} {precision:.3f} {f1:.3f} {med:.2f}")


if __name__ == "__main__":
    main()
