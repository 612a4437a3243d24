# What every program owes its user, checked over all five of them at once: -h, --help and
# --version; no output touched by a run whose input does not open; standard output accounted for.
af_test(programs_test SOURCES tests/programs/programs_test.cpp
        DEPENDS alnforge varforge junction_gate fusion_swap mate_tag_strip)
