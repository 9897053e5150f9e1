"""Installs the package with pip into a fresh venv, as a user would, and
reads a frame of the simulated sensor with it. Run by ctest (python_pip):
    pip_install_check.py SOURCE_DIR BUILD_DIR
The engine comes from `cmake --install BUILD_DIR` (OVALITH_ENGINE=installed,
offline with --no-build-isolation); the sources pip builds are a copy, so
the source tree gets no build folder."""
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile


def run(*command, **options):
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True, **options)
    if done.returncode != 0:
        sys.exit("%s failed:\n%s%s" % (" ".join(map(str, command)), done.stdout, done.stderr))
    return done.stdout


def main(source, build):
    work = pathlib.Path(tempfile.mkdtemp(prefix="ovalith-pip-"))
    try:
        tree = work / "src"
        shutil.copytree(source / "python", tree / "python",
                        ignore=shutil.ignore_patterns("_skbuild", "*.egg-info", "__pycache__"))
        (tree / "tools" / "ovalith").mkdir(parents=True)
        for name in ("StreamModes.cpp", "ToolCommon.h"):
            shutil.copy(source / "tools" / "ovalith" / name, tree / "tools" / "ovalith")
        shutil.copy(source / "CMakeLists.txt", tree)
        run("cmake", "--install", build, "--prefix", work / "prefix")
        run("/usr/bin/python3", "-m", "venv", "--system-site-packages", work / "venv")
        python = work / "venv" / "bin" / "python"
        run(python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-deps", tree / "python",
            env={"PATH": "/usr/bin:/bin", "OVALITH_ENGINE": "installed", "OVALITH_PREFIX": str(work / "prefix"),
                 "HOME": str(work)})
        (work / "Tollan.ini").write_text("[Tollan]\nPaced=0\n")
        out = run(python, "-c", "import ovalith\n"
                  "with ovalith.open('*:0', streams='depth') as dev:\n"
                  "    print(ovalith.__file__, ovalith.__version__, dev.read().depth.shape)\n", cwd=work)
        version = re.search(r"project\(Ovalith VERSION ([0-9.]+)", (source / "CMakeLists.txt").read_text()).group(1)
        where, got, shape = out.split(" ", 2)
        assert where.startswith(str(work / "venv")), where
        assert got == version, (got, version)
        assert shape.strip() == "(480, 640)", shape
        print("installed", got, "into", where)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]))
