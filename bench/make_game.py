#!/usr/bin/env python3
"""Writes versions v1..vN of a seeded synthetic game for bench/incremental.sh.

v1 holds 2 pack files, 40 big files and 2,000 small ones of random bytes
(64 MiB, 2 MiB and 8 KiB at --scale 1; --scale divides the pack and big sizes
and the number of small files). Each later version applies the same recipe to
the one before: in one pack file (the two take turns) an insertion of 256 KiB
and an overwrite of 1 MiB (scaled as the packs); a big file and 2.5 % of the
small ones replaced; a quarter of two big files and 1 KiB of 5 % of the small
ones rewritten; a big file and 10 small ones renamed; a big file and 1 % of the
small ones deleted; a big file and 1 % as many small ones added. Same seed,
same bytes: about 3 % of the game is new at each step.

Every file is kept as a list of extents of seeded random "blobs", so the bytes
each version brought are known exactly: changed.txt gets one line
"FROM TO BYTES" per older version (v0 is the empty folder), BYTES being the
content of version TO not present anywhere in FROM (extents not covered by the
same blob ranges in FROM; a coincidental match of random bytes is ignored).
Files a version leaves unchanged are hard links to the version before.
"""
import argparse
import os
import random
import sys

KIB = 1024
MIB = 1024 * KIB


class Game:
    def __init__(self, seed):
        self.seed = seed
        self.blobs = {}
        self.next_blob = 0

    def blob(self, size):
        """A new extent list of SIZE fresh random bytes."""
        bid = self.next_blob
        self.next_blob += 1
        self.blobs[bid] = random.Random(f"{self.seed}/blob/{bid}").randbytes(size)
        return [(bid, 0, size)]

    def content(self, extents):
        return b"".join(self.blobs[b][o:o + n] for b, o, n in extents)


def cut(extents, start, end):
    """The extents of the byte range [start, end)."""
    out, pos = [], 0
    for b, o, n in extents:
        lo, hi = max(start, pos), min(end, pos + n)
        if lo < hi:
            out.append((b, o + lo - pos, hi - lo))
        pos += n
    return out


def splice(extents, at, removed, inserted):
    """Extents with [at, at + removed) replaced by the extents INSERTED."""
    return cut(extents, 0, at) + inserted + cut(extents, at + removed, size_of(extents))


def size_of(extents):
    return sum(n for _, _, n in extents)


def new_bytes(old, new):
    """Bytes of version NEW not covered by any blob range of version OLD."""
    covered = {}
    for extents in old.values():
        for b, o, n in extents:
            covered.setdefault(b, []).append((o, o + n))
    merged = {}
    for b, spans in covered.items():
        spans.sort()
        m = [list(spans[0])]
        for s, e in spans[1:]:
            if s <= m[-1][1]:
                m[-1][1] = max(m[-1][1], e)
            else:
                m.append([s, e])
        merged[b] = m
    total = 0
    for extents in new.values():
        for b, o, n in extents:
            left = n
            for s, e in merged.get(b, ()):
                left -= max(0, min(e, o + n) - max(s, o))
            total += left
    return total


def first_version(game, scale):
    files = {}
    pack = 64 * MIB // scale
    big = 2 * MIB // scale
    for i in range(2):
        files[f"packs/pack{i}.pak"] = game.blob(pack)
    for i in range(40):
        files[f"data/big/file{i:02d}.bin"] = game.blob(big)
    for i in range(2000 // scale):
        files[f"data/small/d{i % 20:02d}/f{i:04d}.bin"] = game.blob(8 * KIB)
    return files


def next_version(game, files, step, scale):
    """The recipe: version STEP from FILES (the version before)."""
    rng = random.Random(f"{game.seed}/recipe/{step}")
    files = dict(files)
    big_size = 2 * MIB // scale
    pack = f"packs/pack{step % 2}.pak"
    size = size_of(files[pack])
    files[pack] = splice(files[pack], rng.randrange(size), 0, game.blob(256 * KIB // scale))
    overwrite = MIB // scale
    at = rng.randrange(size_of(files[pack]) - overwrite)
    files[pack] = splice(files[pack], at, overwrite, game.blob(overwrite))

    bigs = sorted(p for p in files if p.startswith("data/big/"))
    smalls = sorted(p for p in files if p.startswith("data/small/"))
    rng.shuffle(bigs)
    rng.shuffle(smalls)
    n_small = len(smalls)
    pick_big = iter(bigs)
    pick_small = iter(smalls)

    def take(it, count):
        return [next(it) for _ in range(count)]

    # Replaced whole.
    for p in take(pick_big, 1) + take(pick_small, max(1, n_small * 25 // 1000)):
        files[p] = game.blob(size_of(files[p]))
    # Partly rewritten: a quarter of a big file, 1 KiB of a small one.
    for p in take(pick_big, 2):
        part = big_size // 4
        files[p] = splice(files[p], rng.randrange(size_of(files[p]) - part), part, game.blob(part))
    for p in take(pick_small, max(1, n_small * 5 // 100)):
        files[p] = splice(files[p], rng.randrange(7 * KIB), KIB, game.blob(KIB))
    # Renamed: the big one in its folder, small ones into another folder.
    for p in take(pick_big, 1):
        files[f"data/big/renamed{step}.bin"] = files.pop(p)
    for i, p in enumerate(take(pick_small, 10)):
        files[f"data/small/d{(i + step) % 20:02d}/moved{step}_{i}.bin"] = files.pop(p)
    # Deleted.
    for p in take(pick_big, 1) + take(pick_small, max(1, n_small // 100)):
        del files[p]
    # New.
    files[f"data/big/new{step}.bin"] = game.blob(big_size)
    for i in range(max(1, n_small // 100)):
        files[f"data/small/d{i % 20:02d}/new{step}_{i}.bin"] = game.blob(8 * KIB)
    return files


def write_version(game, out, name, files, before, before_name):
    root = os.path.join(out, name)
    for path, extents in sorted(files.items()):
        target = os.path.join(root, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if before is not None and before.get(path) == extents:
            os.link(os.path.join(out, before_name, path), target)
            continue
        with open(target, "wb") as f:
            f.write(game.content(extents))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", default="19")
    parser.add_argument("--scale", type=int, default=1, help="divide the sizes by this (1, 16)")
    parser.add_argument("--versions", type=int, default=6)
    parser.add_argument("out", help="a new directory to write v1..vN and changed.txt into")
    args = parser.parse_args()
    if args.scale not in (1, 2, 4, 8, 16):
        parser.error("--scale must be 1, 2, 4, 8 or 16")
    os.makedirs(args.out)
    game = Game(args.seed)
    versions = [{}, first_version(game, args.scale)]
    write_version(game, args.out, "v1", versions[1], None, None)
    for step in range(2, args.versions + 1):
        versions.append(next_version(game, versions[-1], step, args.scale))
        write_version(game, args.out, f"v{step}", versions[step], versions[step - 1],
                      f"v{step - 1}")
        print(f"v{step} written", file=sys.stderr)
    last = args.versions
    with open(os.path.join(args.out, "changed.txt"), "w") as f:
        for old in range(last):
            f.write(f"v{old} v{last} {new_bytes(versions[old], versions[last])}\n")
        f.write(f"size v{last} {sum(size_of(e) for e in versions[last].values())}\n")


if __name__ == "__main__":
    main()
