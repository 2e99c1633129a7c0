#!/usr/bin/env python3
"""The layering check finds what it is there to find, in a small tree of its own."""
import pathlib
import subprocess
import sys
import tempfile

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check-layers"


def check(files):
    with tempfile.TemporaryDirectory() as root:
        for name, text in files.items():
            path = pathlib.Path(root, "src", name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        result = subprocess.run([sys.executable, str(SCRIPT), root], capture_output=True, text=True)
        return result.returncode, result.stdout


def expect(condition, message):
    if not condition:
        print("FAILED:", message)
        sys.exit(1)


clean = {
    "core/a.hpp": "#pragma once\n",
    "core/os/linux.cpp": "#include <sys/eventfd.h>\nint f() { return eventfd(0, 0); }\n",
    "sim/b.cpp": '#include "core/a.hpp"\n// printf("in a comment")\nconst char* k = "stdout";\n',
    "cli/sim/run.cpp": '#include "sim/b.hpp"\n#include "cli/commands.hpp"\n',
    "cli/commands.hpp": '#include "cli/sim/run.hpp"\n',
    "host/main.cpp": '#include "cli/commands.hpp"\nint main() { std::puts("hi"); }\n',
}
code, out = check(clean)
expect(code == 0, "a clean tree passes: " + out)

cases = {
    "an include up": {"core/a.cpp": '#include "cli/x.hpp"\n'},
    "an include sideways": {"docker/a.cpp": '#include "api/client.hpp"\n'},
    "one group into the other": {"cli/compute/a.cpp": '#include "cli/sim/run.hpp"\n'},
    "the terminal from a library": {"sim/a.cpp": 'void f() { std::fputs("x", stdout); }\n'},
    "a raw write to standard error": {"api/a.cpp": "void f() { ::write(2, \"x\", 1); }\n"},
    "an include cycle": {"core/x.hpp": '#include "core/y.hpp"\n', "core/y.hpp": '#include "core/x.hpp"\n'},
    "an unknown folder": {"misc/a.cpp": "\n"},
    "a Linux call outside the OS layer": {"core/a.cpp": "int p[2]; int r = pipe2(p, 0);\n"},
    "a Linux header outside the OS layer": {"sim/a.cpp": "#include <sys/eventfd.h>\n"},
    "Linux's /proc outside the OS layer": {"core/a.cpp": 'auto e = "/proc/self/exe";\n'},
}
for what, files in cases.items():
    code, out = check(files)
    expect(code == 1 and out.strip(), f"{what} is reported: {out!r}")
print("ok")
