"""Writes the seed corpus fuzz/corpus/: for every function, inputs of a few
lengths that decode into calls it completes, one that it rejects, and two
re-imports. The candidates come from a fixed random stream, so the same
harness gives the same corpus. Needs the package and atheris installed; for
the fuzz build, with its runtime preloaded as tools/sanitize.sh does:

    python fuzz/make_corpus.py
"""

import pathlib
import random
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import fuzz_calls  # noqa: E402

LENGTHS = [64, 128, 256, 512, 1024]
OUT = pathlib.Path(__file__).parent / "corpus"


def main():
    fuzz_calls.prepare()
    rng = random.Random(20240611)
    names = [f"{short}.{name}" for short, name, _, _ in fuzz_calls.TARGETS]
    # One completed call per target and length, one rejected per target.
    wanted = {(name, n, True) for name in names for n in LENGTHS}
    wanted |= {(name, None, False) for name in names}
    reimports = []
    chosen = {}
    for _ in range(20000):
        if not wanted and len(reimports) == 2:
            break
        n = rng.choice(LENGTHS)
        data = rng.randbytes(n)
        what, exc = fuzz_calls.run_input(data)
        if what == "reimport":
            if len(reimports) < 2:
                reimports.append(data)
            continue
        key = (what, n, True) if exc is None else (what, None, False)
        if key in wanted:
            wanted.discard(key)
            chosen[key] = data
    if wanted:
        sys.exit(f"found no input for {sorted(wanted, key=str)}")
    OUT.mkdir(exist_ok=True)
    for old in OUT.iterdir():
        old.unlink()
    for (what, n, ok), data in sorted(chosen.items(), key=str):
        (OUT / (f"{what}-{n}" if ok else f"{what}-raises")).write_bytes(data)
    for i, data in enumerate(reimports):
        (OUT / f"reimport-{i}").write_bytes(data)
    print(f"{len(chosen) + len(reimports)} inputs in {OUT}")


if __name__ == "__main__":
    main()
