"""Builds the two C++ extension modules of QorvelAPI.

QORVEL_SANITIZE=1 builds them with AddressSanitizer and UndefinedBehaviorSanitizer (with clang);
QORVEL_DEBUG=1 builds without optimisation, with assertions.
"""
import os
from concurrent.futures import ThreadPoolExecutor
from glob import glob

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SANITIZE = os.environ.get("QORVEL_SANITIZE") == "1"
DEBUG = os.environ.get("QORVEL_DEBUG") == "1" or SANITIZE

compile_args = ["-std=c++20", "-fvisibility=hidden", "-Wall", "-Wextra", "-Wno-missing-field-initializers",
                "-Wno-cast-function-type"]
link_args = []
if DEBUG:
    compile_args += ["-O1", "-g", "-fno-omit-frame-pointer", "-UNDEBUG"]
else:
    compile_args += ["-O2"]
if SANITIZE:
    # Built with clang and its shared sanitizer runtime, which `make sanitize` preloads into the
    # (uninstrumented) interpreter. The vptr check is left out: our objects are C layouts reached
    # through PyObject pointers, not polymorphic C++ classes. Frame pointers keep leak stacks whole.
    os.environ.setdefault("CC", "clang")
    os.environ.setdefault("CXX", "clang++")
    flags = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-sanitize=vptr"]
    compile_args += flags + ["-fno-omit-frame-pointer", "-fno-optimize-sibling-calls"]
    link_args += flags + ["-shared-libasan"]


def sources(folder):
    return sorted(glob(os.path.join("src", folder, "**", "*.cpp"), recursive=True))


def headers():
    return sorted(glob("src/**/*.hpp", recursive=True) + glob("src/**/*.def", recursive=True))


class ParallelBuildExt(build_ext):
    """Compiles the source files of an extension in parallel (one job per core)."""

    def build_extension(self, ext):
        compiler = self.compiler
        original = compiler.compile

        def compile_parallel(srcs, *args, **kwargs):
            with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
                parts = list(pool.map(lambda s: original([s], *args, **kwargs), srcs))
            return [obj for part in parts for obj in part]

        compiler.compile = compile_parallel
        try:
            super().build_extension(ext)
        finally:
            compiler.compile = original


def extension(name, folder):
    return Extension(
        f"QorvelAPI.{name}",
        sources=sources(folder),
        depends=headers(),
        include_dirs=["src"],
        language="c++",
        extra_compile_args=compile_args,
        extra_link_args=link_args,
    )


setup(
    ext_modules=[extension("plugins", "plugins"), extension("molstar", "molstar")],
    cmdclass={"build_ext": ParallelBuildExt},
)
