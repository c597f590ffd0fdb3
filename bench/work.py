"""One contender's work, run by the benchmark table in a fresh interpreter.

    python bench/work.py WORK PATH [BALLAST_BYTES]

Imports only what WORK needs, does it once and prints, as its one line of output, a Python
literal: {"digest": what was read, "hwm_kib": this process's own peak resident size (VmHWM of
/proc/self/status, read just before exiting)}. The contained HDF5 reading runs in a forked worker,
whose peak is not in that figure (and whose ru_maxrss would count the pages it shares with this
process). With BALLAST_BYTES, that much memory is filled before the work starts, to show what a
large calling process costs.
"""
import os
import sys


def digest(data):
    """Numbers and flags of a summary as they are, lists by their length, and lists of counts
    also by their sum (as "..._sum")."""
    out = {k: len(v) if isinstance(v, list) else v for k, v in data.items() if isinstance(v, (int, list))}
    out.update((k + "_sum", sum(x["count"] for x in v)) for k, v in data.items()
               if isinstance(v, list) and v and isinstance(v[0], dict) and "count" in v[0])
    return out


def inspect(path):
    import tolvanex
    return digest(tolvanex.inspect(path)["summary"]["data"])


def scan(path):
    import tolvanex
    return {"records": len(tolvanex.scan([path]))}


def scan_loaded(path):
    """The scan from a caller that has numpy and h5py loaded, as a notebook has."""
    import h5py  # noqa: F401
    import numpy  # noqa: F401
    return scan(path)


def iterparse(path):
    """ElementTree's streaming parse in its plainest form: end events, each element cleared
    when it ends, so that memory stays bounded."""
    from xml.etree.ElementTree import iterparse
    n = 0
    for _, elem in iterparse(path):
        elem.clear()
        n += 1
    return {"elements": n}


COMSOL_MEMBERS = ("dmodel.xml", "fileversion", "smodel.json", "modelinfo.xml", "usedlicenses.txt")


def comsol_bucket(name):
    name = name.lower()
    if "solution" in name or name.startswith("savepoint"):
        return "solution"
    if "mesh" in name:
        return "mesh"
    if "geometry" in name or "geommanager" in name:
        return "geometry"
    return "binary" if name.endswith(".mphbin") else "data"


def comsol(path):
    """The COMSOL reader's work in plain Python: open every entry, sum sizes by class, read the
    five members, take the model information's texts and the model tree's parameters and tags
    with iterparse, and the serialised model's tags from json.loads."""
    import io
    import json
    import zipfile
    from xml.etree.ElementTree import iterparse
    names, sizes, members = [], {}, {}
    with zipfile.ZipFile(path) as z:
        for info in z.infolist():
            with z.open(info) as entry:  # reads the local header, as the reader does
                if info.filename in COMSOL_MEMBERS:
                    members[info.filename] = entry.read()
            names.append(info.filename)
            bucket = comsol_bucket(info.filename)
            sizes[bucket] = sizes.get(bucket, 0) + info.file_size
    names.sort()
    for raw in members.values():
        raw.decode("utf-8")
    info = {}
    for _, elem in iterparse(io.BytesIO(members["modelinfo.xml"])):
        if elem.text and elem.text.strip():
            info[elem.tag.lower()] = elem.text.strip()
    params, tags = [], {k: set() for k in ("physics", "study", "material")}
    for event, elem in iterparse(io.BytesIO(members["dmodel.xml"]), events=("start", "end")):
        if event == "end":
            elem.clear()
            continue
        a = elem.attrib
        if "param" in a:
            params.append((a["param"], a.get("value"), a.get("reference")))
        if "tag" in a and elem.tag.lower() in tags:
            tags[elem.tag.lower()].add(a["tag"])

    def walk(v):
        if isinstance(v, list):
            for x in v:
                walk(x)
        elif isinstance(v, dict):
            cls = v.get("apiClass", v.get("type"))
            if isinstance(v.get("tag"), str) and isinstance(cls, str) and cls.lower() in tags:
                tags[cls.lower()].add(v["tag"])
            for x in v.values():
                walk(x)
    walk(json.loads(members["smodel.json"].decode("utf-8")))
    return {"entries": len(names), "parameters": len(params),
            **{f"{k}_tags": len(sorted(t)) for k, t in tags.items()}}


def zipfile_list(path):
    """The pack's central directory through zipfile: counts, sizes and the names."""
    import zipfile
    with zipfile.ZipFile(path) as z:
        infos = z.infolist()
    dirs = sum(i.is_dir() for i in infos)
    return {"entries": len(infos), "directories": dirs, "names": len([i.filename for i in infos]),
            "bytes": sum(i.file_size for i in infos), "compressed": sum(i.compress_size for i in infos)}


def tarfile_list(path):
    """Every header of the gzip tar stream through tarfile, contents passed over."""
    import tarfile
    n = size = 0
    with tarfile.open(path, "r:gz") as t:
        for member in t:
            n += 1
            size += member.size
    return {"entries": n, "bytes": size}


def os_walk(path):
    files = 0
    for _, _, names in os.walk(path):
        files += len(names)
    return {"files": files}


def h5py_walk_one(path):
    import h5py
    with h5py.File(path, "r") as f:
        seen = [dict(f.attrs)]
        f.visititems(lambda name, obj: seen.append((name, dict(obj.attrs))))
    return len(seen)


def h5py_walk(path):
    """h5py's visititems over the whole file, reading every object's attributes."""
    import h5py  # noqa: F401 (imported here so that every h5py figure pays for it alike)
    if os.path.isdir(path):
        return {"objects": sum(h5py_walk_one(os.path.join(path, n)) for n in sorted(os.listdir(path)))}
    return {"objects": h5py_walk_one(path)}


def h5py_open(path):
    """Opening and closing each file of a folder with h5py."""
    import h5py
    names = sorted(os.listdir(path))
    for n in names:
        h5py.File(os.path.join(path, n), "r").close()
    return {"files": len(names)}


def nothing(path):
    """Imports the module and stops: the floor of every tolvanex figure."""
    import tolvanex  # noqa: F401
    return {}


def main():
    work, path = sys.argv[1], sys.argv[2]
    ballast = b"\1" * int(sys.argv[3]) if len(sys.argv) > 3 else b""  # noqa: F841 (held)
    result = globals()[work](path)
    with open("/proc/self/status") as f:
        hwm = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    print(repr({"digest": result, "hwm_kib": hwm}))


if __name__ == "__main__":
    main()
