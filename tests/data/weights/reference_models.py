"""The data sets and models both reference scripts fit (this folder's reference.py and
../bands/reference.py)."""
import os

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def load(name):
    path = os.path.join(HERE, name)
    rows = [line.split() for line in open(path) if line.strip() and not line.startswith("//")]
    return np.array(rows, dtype=float).T


def michaelis(conc, vm, k):
    return vm * conc / (k + conc)


def logistic(conc, asym, xmid, scal):
    return asym / (1 + np.exp((xmid - np.log(conc)) / scal))


def decay(t, a, k, c):
    return a * np.exp(-k * t) + c
