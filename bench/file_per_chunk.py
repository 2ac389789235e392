#!/usr/bin/env python3
"""The floor of a store that keeps one file per chunk, on one mount.

  write SOURCE FOLDER [CHUNK]  cuts SOURCE into CHUNK-byte files (default
                               262144) under FOLDER/NN/, 256 folders made
                               first: one create, one write and one close per
                               chunk, no temporary name, no flush, no hash.
  read FOLDER                  opens, reads and closes each of those files.

Sixteen threads at once, as a copy keeps sixteen chunks in flight. Prints
the rate in MB/s (10^6 bytes). Whatever a chunk store does on top (a lookup
for the chunk first, publication under a temporary name, a flush) costs
more, so no copy into or out of such a store on the same mount can beat
these rates: bench/shared-fs.sh sets its results against them.
"""
import mmap
import os
import sys
import threading
import time

THREADS = 16


def run(jobs, work):
    jobs = iter(jobs)
    lock = threading.Lock()
    done = [0]
    failed = []

    def worker():
        buffer = mmap.mmap(-1, CHUNK)
        while True:
            with lock:
                job = next(jobs, None)
            if job is None:
                return
            try:
                n = work(job, buffer)
            except OSError as e:
                failed.append(e)
                return
            with lock:
                done[0] += n

    start = time.monotonic()
    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    seconds = time.monotonic() - start
    if failed:
        sys.exit(f"file_per_chunk: {failed[0]}")
    print(f"{done[0] / 1e6 / max(seconds, 1e-9):.1f}")


def chunk_path(folder, i):
    return os.path.join(folder, f"{i % 256:02x}", f"c{i}")


def write(source, folder):
    data = open(source, "rb").read()
    for n in range(256):
        os.makedirs(os.path.join(folder, f"{n:02x}"), exist_ok=True)

    def one(i, _buffer):
        fd = os.open(chunk_path(folder, i), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            return os.write(fd, data[i * CHUNK:(i + 1) * CHUNK])
        finally:
            os.close(fd)

    run(range(len(data) // CHUNK), one)


def read(folder):
    count = sum(len(files) for _, _, files in os.walk(folder))

    def one(i, buffer):
        # Unbuffered, as a copy reads chunk files: nothing comes from this
        # machine's page cache.
        fd = os.open(chunk_path(folder, i), os.O_RDONLY | os.O_DIRECT)
        try:
            return os.preadv(fd, [buffer], 0)
        finally:
            os.close(fd)

    run(range(count), one)


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "write":
        CHUNK = int(sys.argv[4]) if len(sys.argv) > 4 else 262144
        write(sys.argv[2], sys.argv[3])
    elif len(sys.argv) >= 3 and sys.argv[1] == "read":
        CHUNK = int(sys.argv[3]) if len(sys.argv) > 3 else 262144
        read(sys.argv[2])
    else:
        sys.exit(__doc__)
