"""`pip install clients/python` builds a wheel that carries the generated gRPC stubs."""

import shutil
import subprocess
import sys
import zipfile

from conftest import SOURCE


def test_the_wheel_works_on_its_own(serve, tmp_path):
    # A copy of the two folders the build reads, so that the checkout stays clean.
    shutil.copytree(SOURCE / "clients" / "python", tmp_path / "clients" / "python",
                    ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__"))
    shutil.copytree(SOURCE / "proto", tmp_path / "proto")
    built = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-q",
         "-w", str(tmp_path / "wheels"), str(tmp_path / "clients" / "python")],
        capture_output=True, text=True, timeout=120)
    assert built.returncode == 0, built.stderr
    (wheel,) = (tmp_path / "wheels").glob("tarvo_client-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        archive.extractall(tmp_path / "site")
    assert {"tarvo_client/env.py", "tarvo_client_proto/simulator_pb2.py",
            "tarvo_client_proto/simulator_pb2_grpc.py"} <= names

    # Only the wheel's contents and the system's packages: not the source tree.
    check = ("import sys, tarvo_client; "
             "assert tarvo_client.__file__.startswith(sys.argv[2]), tarvo_client.__file__; "
             "env = tarvo_client.Env(sys.argv[1]); env.reset(seed=1); env.step(0); env.close(); "
             "print('fine')")
    ran = subprocess.run(
        [sys.executable, "-c", check, serve("cpp", "grpc").address, str(tmp_path / "site")],
        capture_output=True, text=True, timeout=60,
        env={"PYTHONPATH": str(tmp_path / "site"), "PATH": "/usr/bin:/bin"})
    assert ran.stdout.strip() == "fine", ran.stderr
