"""Installs tarvo_client with `pip install clients/python` from a tarvo checkout: the
gRPC stubs (package tarvo_client_proto) are generated from ../../proto while the
package is built, with grpc_tools (Debian: python3-grpc-tools)."""

import os
import shutil
import tempfile

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
PROTO = os.path.join(HERE, "..", "..", "proto", "simulator.proto")


class build_py_with_stubs(build_py):
    def run(self):
        super().run()
        if not os.path.isfile(PROTO):
            raise SystemExit(f"{PROTO} is missing: build tarvo_client from a tarvo checkout")
        from grpc_tools import protoc

        out = self.build_lib
        with tempfile.TemporaryDirectory() as staging:
            package = os.path.join(staging, "tarvo_client_proto")
            os.mkdir(package)
            staged = os.path.join(package, "simulator.proto")
            shutil.copyfile(PROTO, staged)
            os.makedirs(os.path.join(out, "tarvo_client_proto"), exist_ok=True)
            if protoc.main(["protoc", f"-I{staging}", f"--python_out={out}",
                            f"--grpc_python_out={out}", staged]) != 0:
                raise SystemExit("grpc_tools.protoc failed on proto/simulator.proto")
        open(os.path.join(out, "tarvo_client_proto", "__init__.py"), "w").close()


setup(
    name="tarvo-client",
    version="0.1.0",
    description="Gymnasium-style environments for simulators served by `tarvo sim run`",
    packages=["tarvo_client"],
    python_requires=">=3.9",
    install_requires=["grpcio", "protobuf"],
    extras_require={"numpy": ["numpy"], "gymnasium": ["gymnasium"]},
    cmdclass={"build_py": build_py_with_stubs},
)
