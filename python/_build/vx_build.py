"""A minimal PEP 517 build backend for the pure-Python vxcomm package.

It writes a wheel (and an sdist) from the files of this folder with nothing
but the standard library, so that installing needs no package index. The
metadata comes from pyproject.toml. The wheel holds the binding (vxcomm)
and its pyvisa backend (pyvisa_vxcomm); with the config setting
library=PATH (pip install ./python --config-settings library=PATH) it also carries that
built vx_comm_lib next to the binding, where the binding looks first.
"""
import base64
import hashlib
import io
import os
import tarfile
import zipfile

try:
    import tomllib
except ImportError:  # Python < 3.11: read the few fields we need by hand
    tomllib = None

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGES = ("vxcomm", "pyvisa_vxcomm")


def _project():
    path = os.path.join(HERE, "pyproject.toml")
    if tomllib is not None:
        with open(path, "rb") as f:
            return tomllib.load(f)["project"]
    fields = {}
    section = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                section = line
            elif section == "[project]" and "=" in line:
                key, value = line.split("=", 1)
                value = value.strip()
                if value.startswith('"'):
                    fields[key.strip()] = value.strip('"')
                elif value.startswith("{") and "text" in value:  # license = { text = "..." }
                    fields[key.strip()] = value.split('"')[1]
    return fields


def _license(p):
    lic = p.get("license", "")
    return lic.get("text", "") if isinstance(lic, dict) else lic


def _metadata():
    p = _project()
    lines = [
        "Metadata-Version: 2.1",
        "Name: %s" % p["name"],
        "Version: %s" % p["version"],
        "Summary: %s" % p.get("description", ""),
        "Requires-Python: %s" % p.get("requires-python", ">=3.8"),
        "License: %s" % _license(p),
        "Provides-Extra: numpy",
        "Requires-Dist: numpy ; extra == 'numpy'",
    ]
    readme = os.path.join(HERE, "README.md")
    body = ""
    if os.path.exists(readme):
        lines.append("Description-Content-Type: text/markdown")
        with open(readme, encoding="utf-8") as f:
            body = f.read()
    return "\n".join(lines) + "\n\n" + body, p["name"], p["version"]


def _package_files():
    for package in PACKAGES:
        root = os.path.join(HERE, package)
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames[:] = sorted(d for d in dirnames if d != "__pycache__")
            for name in sorted(filenames):
                if name.endswith((".py", ".typed")):
                    full = os.path.join(dirpath, name)
                    yield full, os.path.relpath(full, HERE).replace(os.sep, "/")


def _bundled_library(config_settings):
    """(path, name in the wheel) of the library to carry, or None."""
    path = (config_settings or {}).get("library")
    if not path:
        return None
    path = os.path.abspath(path)
    if not os.path.isfile(path):
        raise FileNotFoundError("library=%s: no such file" % path)
    name = "vx_comm_lib.dll" if path.lower().endswith(".dll") else "libvx_comm_lib.so.0"
    return path, PACKAGES[0] + "/" + name


def _record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (arcname, digest, len(data))


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    metadata, name, version = _metadata()
    dist_info = "%s-%s.dist-info" % (name, version)
    wheel_name = "%s-%s-py3-none-any.whl" % (name, version)
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as whl:

        def add(arcname, data):
            whl.writestr(arcname, data)
            records.append(_record_line(arcname, data))

        files = list(_package_files())
        bundled = _bundled_library(config_settings)
        if bundled:
            files.append(bundled)
        for full, arcname in files:
            with open(full, "rb") as f:
                add(arcname, f.read())
        add(dist_info + "/METADATA", metadata.encode("utf-8"))
        add(
            dist_info + "/WHEEL",
            b"Wheel-Version: 1.0\nGenerator: vx_build\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
        )
        add(dist_info + "/top_level.txt", "".join(p + "\n" for p in PACKAGES).encode())
        records.append(dist_info + "/RECORD,,")
        whl.writestr(dist_info + "/RECORD", "\n".join(records) + "\n")
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    metadata, name, version = _metadata()
    base = "%s-%s" % (name, version)
    sdist_name = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, sdist_name), "w:gz") as tar:
        names = [("pyproject.toml", "pyproject.toml"), ("README.md", "README.md"),
                 ("_build/vx_build.py", "_build/vx_build.py")]
        names += [(arc, arc) for _, arc in _package_files()]
        for rel, arc in names:
            full = os.path.join(HERE, rel)
            if os.path.exists(full):
                tar.add(full, arcname=base + "/" + arc)
        info = tarfile.TarInfo(base + "/PKG-INFO")
        data = metadata.encode("utf-8")
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return sdist_name
