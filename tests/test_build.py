"""The built modules hold no fused multiply-add: it would round a product and its sum once
instead of twice, and change the results' bits."""

import re
import shutil
import subprocess

import pytest
import voxelbench

# x86 vfmadd231ps and its kin; AArch64 fmadd, fmsub, fnmadd, fnmsub, fmla, fmls.
FUSED = re.compile(r"v?fn?m(add|sub)\w*|fml[as]")
MODULES = [voxelbench]
try:
    import _voxelbench_testing

    MODULES.append(_voxelbench_testing)
except ImportError:
    pass


def mnemonics(path):
    """Every instruction name in objdump's disassembly (address, bytes, instruction)."""
    text = subprocess.run(["objdump", "-d", path], capture_output=True, text=True,
                          check=True).stdout
    return {line.split("\t")[2].split()[0] for line in text.splitlines()
            if line.count("\t") >= 2 and line.split("\t")[2].strip()}


@pytest.mark.skipif(not shutil.which("objdump"), reason="needs objdump (binutils)")
@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_no_fused_multiply_add(module):
    names = mnemonics(module.__file__)
    assert {"mulss", "fmul"} & names  # the multiplies of the scalar loop are there to see
    assert not sorted(filter(FUSED.fullmatch, names))
