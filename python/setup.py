"""Builds the package tarn with pip: `pip install --no-build-isolation ./python`.

The compiled core is built by the project's own CMake build (the library with its flags and
dependencies, the module through pybind11) for the interpreter that runs pip, and copied into
the package. Nothing is downloaded: setuptools, pybind11 and numpy come from the interpreter's
own site (Debian's python3-setuptools, pybind11-dev, python3-pybind11 and python3-numpy).
"""
import pathlib
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DTARN_TESTS=OFF", "-DTARN_PYTHON=ON",
                        f"-DPYTHON_EXECUTABLE={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "tarn_python", "-j", "2"],
                       check=True)
        built = sorted((build / "python" / "tarn").glob("_core*.so"))
        if len(built) != 1:
            sys.exit(f"the build left {len(built)} compiled cores in {build}")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        self.copy_file(str(built[0]), str(target))


setup(
    name="tarn",
    version="0.1",
    description="Outlier detection on the exact k-nearest-neighbour graph",
    packages=["tarn"],
    ext_modules=[Extension("tarn._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=["numpy"],
    python_requires=">=3.9",
    zip_safe=False,
)
