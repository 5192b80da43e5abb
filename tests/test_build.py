"""What the compiler made of the modules, read from their disassembly: no fused multiply-add,
which would round a product and its sum once instead of twice and change the results' bits,
and no spill in the loops of the moving filters' blocks, which made clang's builds 2 to 5 times
as slow as GCC's."""

import shutil

import pytest
import voxelbench
from disassembly import FUSED, blocks, disassemble, mnemonics

MODULES = [voxelbench]
try:
    import _voxelbench_testing

    MODULES.append(_voxelbench_testing)
except ImportError:
    pass

needs_objdump = pytest.mark.skipif(not shutil.which("objdump"), reason="needs objdump (binutils)")


@needs_objdump
@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_no_fused_multiply_add(module):
    names = mnemonics(disassemble(module.__file__))
    assert {"mulss", "fmul"} & names  # the multiplies of the scalar loop are there to see
    assert not sorted(filter(FUSED.fullmatch, names))


@needs_objdump
def test_no_block_reloads_from_the_stack():
    """In the loop of each block of the module users get (the test-only module's blocks that end
    with the reciprocal are not shipped), no vector register is read back from the stack, and
    its column loops, those of the blocks that end a row included, hardly touch the stack."""
    functions = disassemble(voxelbench.__file__)
    if any(name.startswith("__asan_") for name in functions):
        pytest.skip("a build with the sanitizers (-O1, instrumented) is not the one users get")
    found = blocks(functions)
    isas = {b.isa for b in found}
    assert isas in ({"avx2", "avx512"}, {"neon"})  # every vector backend's blocks were read
    spilled = [f"{b.isa} {b.name[:120]}: {b.reloads} reloads, {b.arithmetic} multiplies and "
               f"adds; stack accesses in its column loops: {b.stack_share:.0%} of their "
               "multiplies and adds" for b in found if b.spills()]
    assert not spilled, "\n".join(spilled)
