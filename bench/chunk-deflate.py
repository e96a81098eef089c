#!/usr/bin/env python3
# bench/chunk-deflate.py FILE... : what the large-file path of the ZIP writer could gain
# from another deflater, measured on one thread (CPU time of this process) and in bytes.
#
#   zlib 9, 1 MiB + dict  the writer's chunks today: each primed with the 32 KiB before it,
#                         ended with a sync flush (the last with the final block)
#   libdeflate 9, N MiB   independent chunks (libdeflate takes no preset dictionary): what
#                         the boundaries cost against one libdeflate stream of the file
#   libdeflate 9, whole   the file as one stream (no boundaries)
# Also counts the 1 MiB chunks whose zlib output is not smaller than their input (stored
# blocks would do for them) and the CPU time zlib spends on those.
# Files of up to 4 MiB are skipped: the writer deflates those whole with libdeflate already.
import ctypes
import sys
import time
import zlib

MIB = 1 << 20
lib = ctypes.CDLL("libdeflate.so.0")
lib.libdeflate_alloc_compressor.restype = ctypes.c_void_p
lib.libdeflate_alloc_compressor.argtypes = [ctypes.c_int]
lib.libdeflate_deflate_compress.restype = ctypes.c_size_t
lib.libdeflate_deflate_compress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                            ctypes.c_void_p, ctypes.c_size_t]
lib.libdeflate_deflate_compress_bound.restype = ctypes.c_size_t
lib.libdeflate_deflate_compress_bound.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
compressor = lib.libdeflate_alloc_compressor(9)


def libdeflate(data):
    bound = lib.libdeflate_deflate_compress_bound(compressor, len(data))
    out = ctypes.create_string_buffer(bound)
    n = lib.libdeflate_deflate_compress(compressor, data, len(data), out, bound)
    assert n > 0
    return n


def zlib_chunks(data):
    total = 0
    stored = 0
    stored_cpu = 0.0
    for at in range(0, len(data), MIB):
        chunk = data[at:at + MIB]
        start = time.process_time()
        if at > 0:
            c = zlib.compressobj(9, zlib.DEFLATED, -15, 8, zlib.Z_DEFAULT_STRATEGY,
                                 zdict=data[max(0, at - 32768):at])
        else:
            c = zlib.compressobj(9, zlib.DEFLATED, -15, 8, zlib.Z_DEFAULT_STRATEGY)
        last = at + MIB >= len(data)
        n = len(c.compress(chunk)) + len(c.flush(zlib.Z_FINISH if last else zlib.Z_SYNC_FLUSH))
        spent = time.process_time() - start
        total += n
        if n >= len(chunk):
            stored += 1
            stored_cpu += spent
    return total, stored, stored_cpu


def timed(fn, *args):
    start = time.process_time()
    result = fn(*args)
    return time.process_time() - start, result


files = [f for f in sys.argv[1:]]
data = []
for f in files:
    with open(f, "rb") as fh:
        d = fh.read()
    if len(d) > 4 * MIB:
        data.append(d)
size = sum(len(d) for d in data)
print("%d files over 4 MiB, %d bytes" % (len(data), size))
print("| method | CPU s | output bytes | / zlib today |")
print("|---|---:|---:|---:|")
cpu, results = timed(lambda: [zlib_chunks(d) for d in data])
ref = sum(r[0] for r in results)
print("| zlib 9, 1 MiB + dict (today) | %.2f | %d | 1.0000 |" % (cpu, ref))
for chunk in (1, 4, 16):
    step = chunk * MIB
    cpu, out = timed(lambda: sum(libdeflate(d[a:a + step]) for d in data
                                 for a in range(0, len(d), step)))
    print("| libdeflate 9, %d MiB chunks | %.2f | %d | %.4f |" % (chunk, cpu, out, out / ref))
cpu, out = timed(lambda: sum(libdeflate(d) for d in data))
print("| libdeflate 9, whole file | %.2f | %d | %.4f |" % (cpu, out, out / ref))
stored = sum(r[1] for r in results)
stored_cpu = sum(r[2] for r in results)
chunks = sum((len(d) + MIB - 1) // MIB for d in data)
print("1 MiB chunks not smaller under zlib 9: %d of %d, %.2f s of zlib CPU" %
      (stored, chunks, stored_cpu))
