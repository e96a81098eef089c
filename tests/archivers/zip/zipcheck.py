#!/usr/bin/python3
# zipcheck.py ARCHIVE: reads every entry with Python's zipfile (which checks each CRC) and
# prints one JSON object describing the archive and its entries, data as SHA-256.
import hashlib, json, sys, zipfile

def main(path):
    out = {"entries": []}
    with zipfile.ZipFile(path) as zf:
        out["comment"] = zf.comment.decode("latin-1")
        for info in zf.infolist():
            digest = hashlib.sha256()
            size = 0
            with zf.open(info) as f:
                while True:
                    block = f.read(1 << 20)
                    if not block:
                        break
                    digest.update(block)
                    size += len(block)
            out["entries"].append({
                "name": info.filename,
                "flags": info.flag_bits,
                "method": info.compress_type,
                "crc": info.CRC,
                "compressedSize": info.compress_size,
                "size": info.file_size,
                "read": size,
                "externalAttributes": info.external_attr,
                "createSystem": info.create_system,
                "createVersion": info.create_version,
                "extractVersion": info.extract_version,
                "offset": info.header_offset,
                "dateTime": "%04d-%02d-%02dT%02d:%02d:%02d" % info.date_time,
                "sha256": digest.hexdigest(),
            })
    json.dump(out, sys.stdout)

main(sys.argv[1])
