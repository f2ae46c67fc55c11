"""What each process writes at the end of a run, for the report to read: its
arrays as .npz, everything else as JSON."""

from __future__ import annotations

import json
import pathlib

import numpy as np


def save(wiring: dict, role: str, record: dict) -> None:
    folder = pathlib.Path(wiring["records"])
    arrays = {name: value for name, value in record.items() if isinstance(value, np.ndarray)}
    rest = {name: value for name, value in record.items() if not isinstance(value, np.ndarray)}
    np.savez(folder / f"{role}.npz", **arrays)
    (folder / f"{role}.json").write_text(json.dumps(rest))


def load(folder: pathlib.Path, role: str) -> dict:
    record = json.loads((folder / f"{role}.json").read_text())
    with np.load(folder / f"{role}.npz") as arrays:
        record.update({name: arrays[name] for name in arrays.files})
    return record
