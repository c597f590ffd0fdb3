import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from conftest import BUILD_PYTHON, ROOT

MODULE = BUILD_PYTHON / "tolvanex" / "_tolvanex.abi3.so"


def test_only_the_initialiser_is_exported_and_no_libpython_is_linked():
    symbols = subprocess.run(["nm", "-D", "--defined-only", str(MODULE)], capture_output=True, text=True, check=True)
    names = [line.split()[-1] for line in symbols.stdout.splitlines() if line.strip()]
    assert names == ["PyInit__tolvanex"]
    dynamic = subprocess.run(["readelf", "-d", str(MODULE)], capture_output=True, text=True, check=True).stdout
    assert "libpython" not in dynamic


@pytest.mark.skipif(not pathlib.Path("/usr/bin/python3").exists(), reason="needs Debian's python3")
def test_pip_wheel_gives_one_abi3_wheel_that_installs_in_another_cpython(tmp_path):
    wheels = tmp_path / "wheels"
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-q", "-w", str(wheels), str(ROOT)],
        check=True,
    )
    built = sorted(p.name for p in wheels.iterdir())
    assert len(built) == 1 and re.fullmatch(r"tolvanex-[0-9.]+-cp3\d+-abi3-linux_\w+\.whl", built[0]), built
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--without-pip", str(venv)], check=True)
    site = subprocess.run(
        [str(venv / "bin" / "python"), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
        capture_output=True, text=True, check=True,
    ).stdout.strip()
    shutil.unpack_archive(str(wheels / built[0]), site, "zip")
    # libarchive and liblzma come from their static archives, so neither they nor what
    # libarchive's shared build pulls in is loaded.
    dynamic = subprocess.run(["readelf", "-d", f"{site}/tolvanex/_tolvanex.abi3.so"], capture_output=True, text=True,
                             check=True).stdout
    assert "libhdf5" in dynamic and not re.search(r"libarchive|liblzma|libxml2|libnettle", dynamic)
    out = subprocess.run(
        [str(venv / "bin" / "python"), "-c", "import tolvanex; print(tolvanex.__file__, tolvanex.scan([]))"],
        capture_output=True, text=True, check=True, cwd=tmp_path,
    )
    assert out.stdout.strip().endswith("[]") and site in out.stdout
